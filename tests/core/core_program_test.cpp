// The core run as a whole: start-up against the real engine (in-process, on
// the simulated platform), a redirected connect served by the proxy, the
// control endpoint, applying preferences, the fatal report and the stop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "HbtEngineDrv/device/in_process_engine_device.h"
#include "HbtEngineDrv/engine/nfe_engine.h"
#include "HbtEngineDrv/platform/sim_platform.h"
#include "core/hbt_core.h"
#include "engine_protocol/nfe_protocol.h"
#include "http/exclusion_link_token.h"
#include "http/page_parts.h"
#include "log/log_queue.h"
#include "log/log_settings.h"
#include "platform/file_settings_store.h"
#include "rules/preferences_storage.h"
#include "tests/core/fake_nat.h"
#include "tests/http/loopback.h"
#include "ui/statistics_text.h"

namespace hbt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The front end as the core sees it: actions run on the calling thread.
class RecordingInterface : public CoreUserInterface {
public:
    void RefreshTrayAndDialog() override { ++refreshes; }
    void RunOnUiThread(const std::function<void()>& action) override { action(); }
    void EngineUnavailable() override { engineUnavailable = true; }
    void ShowFatalError(const std::wstring& text) override {
        std::lock_guard lock(mutex);
        fatalText = text;
    }
    std::wstring FatalText() {
        std::lock_guard lock(mutex);
        return fatalText;
    }
    std::atomic<int> refreshes{0};
    std::atomic<bool> engineUnavailable{false};
    std::mutex mutex;
    std::wstring fatalText;
};

template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class CoreProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = fs::temp_directory_path() / ("hbt_program_" + std::to_string(::getpid()));
        fs::remove_all(home_);
        fs::create_directories(home_);
        setenv("HOME", home_.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home_ / "cfg").c_str(), 1);
        unsetenv("XDG_DOCUMENTS_DIR");
        store_ = std::make_shared<FileSettingsStore>((home_ / "cfg" / "Corvant" / "Harbinet.conf").string());
        // Strict Mode with automatic redirects and no check: a redirected
        // request is answered at once, without going anywhere.
        store_->SetInt("Settings", "allowInsecureIfNoHttps", 0);
        store_->SetInt("Settings", "autoRedirect", 1);
        store_->SetInt("Settings", "checkBeforeRedirect", 0);
        store_->SetInt("Settings", "logFileLevel", 0);
        store_->SetInt("Settings", "logLevel", 3);
        platform_.Attach(engine_);
        LogQueue::Instance().TakeAll();
        LogQueue::Instance().RegisterReceiver([] {});
        core_.SetUserInterface(&ui_);
        core_.SetOriginalDestinationLookup(nat_.Lookup());
        core_.SetSettingsStore(store_);
        core_.SetEngineDeviceOpener([this](uint32_t& error) -> std::unique_ptr<EngineDevice> {
            auto device = InProcessEngineDevice::Open(engine_);
            if (!device) error = 5;
            return device;
        });
    }

    void TearDown() override {
        core_.Stop();
        LogQueue::Instance().ClearReceiver();
        LogQueue::Instance().TakeAll();
        SetScreenLogLevel(2);
        SetFileLogLevel(2);
        fs::remove_all(home_);
    }

    void StartAndWaitUntilServing() {
        core_.Start();
        ASSERT_TRUE(WaitFor([&] { return core_.PreferencesLoaded() && !core_.Halted(); })) << "start-up did not end";
        ASSERT_TRUE(WaitFor([&] { return engine_.IsActive(); }));
        // The event loop logs the engine's start when it reads the engine's
        // message, which may come after the engine is active: wait for it, so
        // that it never falls among the lines a test looks at.
        std::vector<std::wstring> startLines;
        ASSERT_TRUE(WaitFor([&] {
            for (auto& line : Lines()) startLines.push_back(std::move(line));
            return std::find(startLines.begin(), startLines.end(), L"Network Engine started.") != startLines.end();
        }));
    }

    std::vector<std::wstring> Lines() {
        std::vector<std::wstring> lines;
        for (auto& record : LogQueue::Instance().TakeAll()) lines.push_back(record.message);
        return lines;
    }

    // An application's socket, bound so that the engine sees its address, and
    // how the core answered its connect (the socket is not connected yet).
    struct AnsweredConnect {
        std::shared_ptr<CSafeSocket> application;
        ConnectCompletion completion;
    };
    std::optional<AnsweredConnect> ConnectThroughEngine(const char* destination, uint16_t port) {
        auto application = test::BoundClient(test::Loopback4());
        if (!application) return std::nullopt;
        SimConnection connect;
        connect.local = test::BoundAddress(*application);
        connect.remote = *ParseIpAddress(destination, port);
        const auto held = platform_.Connect(connect);
        if (held.action != ConnectAction::kPend) return std::nullopt;
        if (!WaitFor([&] { return !platform_.Completions(held.connectHandle).empty(); })) return std::nullopt;
        nat_.Redirect(connect.local.Port(), connect.remote);  // as the kernel would translate it
        return AnsweredConnect{application, platform_.Completions(held.connectHandle)[0]};
    }

    std::string Control(const std::string& query) {
        auto socket = test::ConnectTo(test::Loopback4(core_.ControlPortHostOrder()));
        EXPECT_TRUE(socket);
        if (!socket) return {};
        test::SendText(*socket, "GET /add_rule?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        return test::ReadToEnd(*socket);
    }

    fs::path home_;
    std::shared_ptr<FileSettingsStore> store_;
    SimPlatform platform_;
    NfeEngine engine_{platform_};
    RecordingInterface ui_;
    test::FakeNat nat_;  // the simulated platform translates no addresses
    CHbtCore core_;
};

TEST_F(CoreProgramTest, RedirectedConnectIsAnsweredByTheProxyAndCounted) {
    StartAndWaitUntilServing();
    const Preferences working = *core_.PreferencesSnapshot();
    EXPECT_TRUE(working.enabled);

    const auto answered = ConnectThroughEngine("93.184.216.34", 80);
    ASSERT_TRUE(answered);
    const auto& [application, completion] = *answered;
    ASSERT_TRUE(completion.redirect);
    EXPECT_EQ(completion.newRemote, core_.Ipv4ProxyAddress());

    ASSERT_TRUE(ConnectSocket(application->Handle(), completion.newRemote));
    test::SendText(*application, "GET /p HTTP/1.1\r\nHost: site.example\r\n\r\n");
    const std::string answer = test::ReadToEnd(*application);
    EXPECT_EQ(answer.rfind("HTTP/1.1 307 Temporary Redirect\r\nLocation: https://site.example/p\r\n", 0), 0u)
        << answer.substr(0, 200);

    ASSERT_TRUE(WaitFor([&] { return core_.Statistics().http.httpRedirects.load() == 1; }));
    EXPECT_EQ(StatisticsBoxText(ComputeStatisticsFigures(core_.Statistics())),
              L"Connections :\nTotal\t\t\t1\nProcessed  \t\t1\nSecured\t\t\t1\n     HTTP blocked\t\t1"
              L"\n     Redirected to HTTPS\t1\n     Weak SSL blocked  \t0");
}

// Two clients that sent half a head fill a proxy of capacity two: the next
// connects go direct, and the episode is logged once as it starts and once,
// with its count, when the proxy takes connections again.
TEST_F(CoreProgramTest, ConnectsForAFullProxyGoDirectAndTheEpisodeIsLoggedOnce) {
    core_.SetProxyCapacity(2);
    StartAndWaitUntilServing();
    std::vector<std::shared_ptr<CSafeSocket>> holding;
    for (int i = 0; i < 2; ++i) {
        const auto answered = ConnectThroughEngine("93.184.216.34", 80);
        ASSERT_TRUE(answered && answered->completion.redirect);
        ASSERT_TRUE(ConnectSocket(answered->application->Handle(), answered->completion.newRemote));
        test::SendText(*answered->application, "GET /p HTTP/1.1\r\nHost: site.example\r\n");
        holding.push_back(answered->application);
    }
    ASSERT_TRUE(WaitFor([&] { return core_.OpenConnections() == 2; }));
    const std::wstring full = L"Proxy is full (2 connections). New connections go direct until it has room again.";
    for (int i = 0; i < 2; ++i) {
        const auto direct = ConnectThroughEngine("93.184.216.34", 80);
        ASSERT_TRUE(direct);
        EXPECT_FALSE(direct->completion.redirect);
    }
    const auto episode = Lines();
    EXPECT_EQ(std::count(episode.begin(), episode.end(), full), 1);

    for (auto& socket : holding) socket->Close();
    ASSERT_TRUE(WaitFor([&] { return core_.OpenConnections() == 0; }));
    const auto again = ConnectThroughEngine("93.184.216.34", 80);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->completion.redirect);
    const auto after = Lines();
    EXPECT_EQ(std::count(after.begin(), after.end(),
                         L"Proxy has room again. 2 connections went direct while the proxy was full."),
              1);
    EXPECT_EQ(std::count(after.begin(), after.end(), full), 0);
}

TEST_F(CoreProgramTest, ControlEndpointAddsHostsOnlyWithThisRunsToken) {
    StartAndWaitUntilServing();
    const std::string token = "&token=" + ExclusionLinkToken();
    const std::string origUrl = "&orig_url=" + Base64UrlEncode("app.example.com/a?b=1");

    const std::string forged = Control("host=app.example.com" + origUrl);
    EXPECT_EQ(forged.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
    EXPECT_EQ(FileSettingsStore(store_->Path()).GetString("Settings", "excludeHosts", L""), L"");

    store_->SetString("Settings", "unrelated", L"kept");
    for (int round = 0; round < 2; ++round) {  // the second time the host is covered already
        const std::string page = Control("host=app.example.com" + origUrl + token);
        EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
        EXPECT_NE(page.find("<h2>Hostname app.example.com added to the exclusion list.</h2>"), std::string::npos);
        EXPECT_NE(page.find("<a href=\"http://app.example.com/a?b=1\">http://app.example.com/a?b=1</a>"),
                  std::string::npos);
    }
    EXPECT_EQ(FileSettingsStore(store_->Path()).GetString("Settings", "excludeHosts", L""), L"app.example.com\n");

    const std::string refused = Control("host=bad%20host" + token);
    EXPECT_NE(refused.find("<h2>Could not add "), std::string::npos) << refused.substr(0, 300);
    EXPECT_EQ(Control("orig_url=eA" + token).rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
    // A script in the original URL comes back as text, never as markup.
    const std::string escaped = Control("host=app.example.com&orig_url=" +
                                        Base64UrlEncode("x\"><script>alert(1)</script>") + token);
    EXPECT_EQ(escaped.find("<script>"), std::string::npos);
}

TEST_F(CoreProgramTest, SwitchingLogsAndSavesAndTheEngineIsToldEveryTime) {
    StartAndWaitUntilServing();
    Lines();
    Preferences changed = *core_.PreferencesSnapshot();
    changed.enabled = false;
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    changed.enabled = true;
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    EXPECT_EQ(Lines(), (std::vector<std::wstring>{L"Harbinet switched OFF", L"Harbinet switched OFF",
                                                  L"Harbinet switched ON"}));

    std::wstring ports;
    for (int port = 1000; port < 1201; ++port) ports += std::to_wstring(port) + L";";
    std::wstring message;
    ASSERT_TRUE(changed.SetHttpPorts(ports, message)) << message;
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    EXPECT_EQ(Lines(), std::vector<std::wstring>{L"To many port rules. Only first 200 will be loaded."});
    EXPECT_EQ(FileSettingsStore(store_->Path()).GetString("Settings", "httpPorts", L""), ports);
}

TEST_F(CoreProgramTest, EngineThatCannotBeOpenedEndsStartUpWithoutAFatalReport) {
    core_.SetEngineDeviceOpener([](uint32_t& error) -> std::unique_ptr<EngineDevice> {
        error = 2;
        return nullptr;
    });
    core_.Start();
    ASSERT_TRUE(WaitFor([&] { return ui_.engineUnavailable.load(); }));
    EXPECT_TRUE(ui_.FatalText().empty());
    EXPECT_TRUE(core_.Halted());
}

TEST_F(CoreProgramTest, RefusedConfigurationIsFatalAndKeepsTheProductOff) {
    // A device that answers the version and refuses everything else.
    class RefusingDevice : public EngineDevice {
    public:
        void Submit(uint32_t code, std::vector<uint8_t>, uint32_t, DeviceCompletion done) override {
            if (code == NFE_IOCTL_GET_VERSION) return done(DeviceReply{kStatusSuccess, 4, {115, 0, 0, 0}});
            done(DeviceReply{kStatusInvalidBufferSize, 0, {}});
        }
        void Close() override {}
    };
    core_.SetEngineDeviceOpener([](uint32_t&) -> std::unique_ptr<EngineDevice> {
        return std::make_unique<RefusingDevice>();
    });
    core_.Start();
    ASSERT_TRUE(WaitFor([&] { return !ui_.FatalText().empty(); }));
    const std::wstring expected =
        L"Fatal Error:\n\nCould not set rules to kernel module.\n\n"
        L"Harbinet cannot start. You may need to reinstall the software and reboot.\n"
        L"If the problem persists - please contact support@corvant.example.\n";
    EXPECT_EQ(ui_.FatalText(), expected);
    auto lines = Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"SetConfig failed with error DeviceIoControl failed with error 1784"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"Fatal Error:"), lines.end());

    Preferences changed = *core_.PreferencesSnapshot();
    changed.enabled = true;
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    EXPECT_FALSE(changed.enabled);
    lines = Lines();
    EXPECT_EQ(std::find(lines.begin(), lines.end(), L"Harbinet switched ON"), lines.end());
}

// The in-process engine's device as the program holds it, with the requests
// sent on it recorded and a kill that closes it under the program, as a dying
// engine daemon does.
class ObservedDevice : public EngineDevice {
public:
    ObservedDevice(std::shared_ptr<EngineDevice> inner, std::function<void(uint32_t)> record)
        : inner_(std::move(inner)), record_(std::move(record)) {}
    void Submit(uint32_t code, std::vector<uint8_t> input, uint32_t capacity, DeviceCompletion done) override {
        record_(code);
        inner_->Submit(code, std::move(input), capacity, std::move(done));
    }
    void Close() override { inner_->Close(); }

private:
    std::shared_ptr<EngineDevice> inner_;
    std::function<void(uint32_t)> record_;
};

class EngineRestartTest : public CoreProgramTest {
protected:
    void SetUp() override {
        CoreProgramTest::SetUp();
        core_.SetEngineDeviceOpener([this](uint32_t& error) -> std::unique_ptr<EngineDevice> {
            std::lock_guard lock(mutex_);
            if (engineDown_) {
                error = 2;  // no engine serves the device
                return nullptr;
            }
            std::shared_ptr<EngineDevice> device = InProcessEngineDevice::Open(engine_);
            if (!device) {
                error = 5;
                return nullptr;
            }
            current_ = device;
            requests_.emplace_back();
            const std::size_t open = requests_.size() - 1;
            return std::make_unique<ObservedDevice>(device, [this, open](uint32_t code) {
                std::lock_guard lock(mutex_);
                requests_[open].push_back(code);
            });
        });
    }

    void KillEngine() {
        std::lock_guard lock(mutex_);
        engineDown_ = true;
        current_->Close();
    }
    void RestartEngine() {
        std::lock_guard lock(mutex_);
        engineDown_ = false;
    }
    std::vector<std::vector<uint32_t>> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Collects lines until one equals `line`.
    bool WaitForLine(const std::wstring& line, std::vector<std::wstring>& seen) {
        return WaitFor([&] {
            for (auto& l : Lines()) seen.push_back(std::move(l));
            return std::find(seen.begin(), seen.end(), line) != seen.end();
        }, 15000ms);
    }
    std::optional<ConnectCompletion> HeldConnectTo80() {
        SimConnection connect;
        connect.local = *ParseIpAddress("127.0.0.1", 41000);
        connect.remote = *ParseIpAddress("93.184.216.34", 80);
        const auto held = platform_.Connect(connect);
        if (held.action != ConnectAction::kPend) return std::nullopt;
        if (!WaitFor([&] { return !platform_.Completions(held.connectHandle).empty(); })) return std::nullopt;
        return platform_.Completions(held.connectHandle)[0];
    }

    std::mutex mutex_;
    bool engineDown_ = false;
    std::shared_ptr<EngineDevice> current_;
    std::vector<std::vector<uint32_t>> requests_;  // per open of the device
};

TEST_F(EngineRestartTest, EngineThatDiesIsShownHaltedAndTakenUpWhenItComesBack) {
    StartAndWaitUntilServing();
    const int refreshesBefore = ui_.refreshes;

    KillEngine();
    std::vector<std::wstring> seen;
    ASSERT_TRUE(WaitForLine(L"Network Engine is gone. Protection is off until it is back.", seen));
    ASSERT_TRUE(WaitFor([&] { return core_.Halted() && ui_.refreshes > refreshesBefore; }));
    EXPECT_FALSE(core_.PreferencesSnapshot()->enabled);

    const int refreshesHalted = ui_.refreshes;
    RestartEngine();
    ASSERT_TRUE(WaitForLine(L"Network Engine is back. Protection restored.", seen));
    EXPECT_FALSE(core_.Halted());
    EXPECT_TRUE(core_.PreferencesSnapshot()->enabled);
    EXPECT_GT(ui_.refreshes, refreshesHalted);
    EXPECT_TRUE(engine_.IsActive());
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    ASSERT_GE(requests[1].size(), 3u);
    EXPECT_EQ(std::vector<uint32_t>(requests[1].begin(), requests[1].begin() + 3),
              (std::vector<uint32_t>{NFE_IOCTL_GET_VERSION, NFE_IOCTL_SET_CONFIG, NFE_IOCTL_START}));
    EXPECT_EQ(engine_.Config()->processId, static_cast<uint32_t>(::getpid()));
    for (const std::wstring line : {L"GetEvent failed with error GetOverlappedResult failed with error 995",
                                    L"Network Engine is gone. Protection is off until it is back.",
                                    L"Network Engine is back. Protection restored."}) {
        EXPECT_EQ(std::count(seen.begin(), seen.end(), line), 1) << line;
    }

    const auto after = HeldConnectTo80();
    ASSERT_TRUE(after);
    EXPECT_TRUE(after->redirect);
    EXPECT_EQ(after->newRemote, core_.Ipv4ProxyAddress());
}

// The engine event loop's waits (between failed reads and between reopen
// attempts) end when the core stops: a day-long wait must not hold up the stop.
TEST_F(EngineRestartTest, StopEndsAWaitAtOnce) {
    StartAndWaitUntilServing();
    std::thread waiter([this] { core_.WaitUnlessStopped(24h); });
    core_.Stop();
    waiter.join();
    core_.WaitUnlessStopped(24h);
}

TEST_F(CoreProgramTest, StopStopsTheEngineAndEndsEveryThread) {
    StartAndWaitUntilServing();
    const auto started = std::chrono::steady_clock::now();
    core_.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    EXPECT_FALSE(engine_.IsActive());
    EXPECT_FALSE(core_.Running());
}

}  // namespace
}  // namespace hbt
