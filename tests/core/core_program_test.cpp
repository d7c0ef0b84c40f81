// The core run as a whole: start-up against the real engine (in-process, on
// the simulated platform), a redirected connect served by the proxy, the
// control endpoint, applying preferences, the fatal report and the stop.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine_protocol/nfe_port_rules.h"
#include "platform/settings_take_up.h"
#include "tests/core/core_program_fixture.h"
#include "tests/tools/hbtctl_runner.h"
#include "ui/settings_take_up_service.h"

namespace hbt {
namespace {

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

bool HasLine(const std::vector<std::wstring>& lines, const std::wstring& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(CoreProgramTest, SettingsChangedOutsideAreTakenUpAndSurviveTheProgramsOwnSave) {
    ASSERT_TRUE(store_->Save());  // the fixture's settings are in the file, as after an earlier run
    SettingsTakeUpEndpoint endpoint;
    OpenSettingsTakeUp(endpoint, core_, ui_, store_->Path());
    StartAndWaitUntilServing();
    Lines();

    // hbtctl tells the program, which applies the change before hbtctl ends.
    const test::HbtctlRun set = test::RunHbtctl({"prefs", "set", "httpPorts", "80; 8080"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_NE(set.out.find("the running Harbinet program (pid " + std::to_string(::getpid()) + ") took the change up"),
              std::string::npos)
        << set.out;
    EXPECT_EQ(core_.PreferencesSnapshot()->httpPorts.size(), 2u);
    EXPECT_EQ(Lines(), std::vector<std::wstring>{L"Settings changed outside Harbinet taken up: httpPorts"});

    // An editor changes the file and tells nobody; then the program saves a
    // change of its own, the exclusion link of a block page.
    {
        FileSettingsStore editor(store_->Path());
        editor.SetInt("Settings", "excludeCertReq", 0);
        ASSERT_TRUE(editor.Save());
    }
    Control("host=added.example&token=" + ExclusionLinkToken());
    FileSettingsStore file(store_->Path());
    EXPECT_EQ(file.GetString("Settings", "httpPorts", L""), L"80; 8080");
    EXPECT_EQ(file.GetInt("Settings", "excludeCertReq", 1), 0);
    EXPECT_EQ(file.GetString("Settings", "excludeHosts", L""), L"added.example\n");
    EXPECT_EQ(file.GetInt("Settings", "allowInsecureIfNoHttps", 1), 0) << "Strict Mode stays";

    // Told (SIGHUP does this), the program takes the editor's change up too.
    EXPECT_TRUE(core_.PreferencesSnapshot()->excludeCertReq);
    core_.TakeUpStoredPreferences();
    EXPECT_FALSE(core_.PreferencesSnapshot()->excludeCertReq);
    EXPECT_EQ(core_.PreferencesSnapshot()->excludeHostsText, L"added.example\n");
    EXPECT_TRUE(core_.PreferencesSnapshot()->enabled);
    EXPECT_TRUE(HasLine(Lines(), L"Settings changed outside Harbinet taken up: excludeCertReq"));
    endpoint.Close();
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

TEST_F(CoreProgramTest, TheEngineHoldsOnlyConnectsToMonitoredPortsAndFollowsEveryChange) {
    StartAndWaitUntilServing();
    const auto ports = [](std::vector<NfePortRange> ranges) { return NfePortRules::Of(std::move(ranges)); };
    EXPECT_EQ(platform_.ConnectPorts(), ports({{80, 80}, {88, 88}, {443, 443}, {3128, 3128}, {8080, 8088}}));
    ASSERT_TRUE(ConnectThroughEngine("192.0.2.1", 80));
    SimConnection smtp;
    smtp.remote = *ParseIpAddress("192.0.2.1", 25);
    EXPECT_EQ(platform_.Connect(smtp).action, ConnectAction::kPermit);
    EXPECT_EQ(platform_.PassedConnectCount(), 1u);
    EXPECT_EQ(core_.Statistics().connectRequests.load(), 1u) << "a connect never held is not counted";

    Preferences changed = *core_.PreferencesSnapshot();
    std::wstring message;
    ASSERT_TRUE(changed.SetHttpPorts(L"25", message));
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    EXPECT_EQ(platform_.ConnectPorts(), ports({{25, 25}, {443, 443}}));
    changed.monitorSslOnAllPorts = true;
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    EXPECT_EQ(platform_.ConnectPorts(), NfePortRules::All());
    changed.monitorSslOnAllPorts = false;
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    EXPECT_EQ(platform_.ConnectPorts(), ports({{25, 25}, {443, 443}}));
}

TEST_F(CoreProgramTest, AnEngineThatTakesNoPortRulesStillServes) {
    // The engine of an earlier version: the port rules are an unknown request to it.
    class OlderEngine : public EngineDevice {
    public:
        explicit OlderEngine(std::unique_ptr<EngineDevice> engine) : engine_(std::move(engine)) {}
        void Submit(uint32_t code, std::vector<uint8_t> input, uint32_t capacity, DeviceCompletion done) override {
            if (code == NFE_IOCTL_SET_PORT_RULES) return done(DeviceReply{kStatusInvalidParameter, 0, {}});
            engine_->Submit(code, std::move(input), capacity, std::move(done));
        }
        void Close() override { engine_->Close(); }

    private:
        std::unique_ptr<EngineDevice> engine_;
    };
    core_.SetEngineDeviceOpener([this](uint32_t& error) -> std::unique_ptr<EngineDevice> {
        auto device = InProcessEngineDevice::Open(engine_);
        if (!device) error = 5;
        return device ? std::make_unique<OlderEngine>(std::move(device)) : nullptr;
    });
    StartAndWaitUntilServing();
    EXPECT_EQ(platform_.ConnectPorts(), NfePortRules::All());
    EXPECT_TRUE(ConnectThroughEngine("192.0.2.1", 80));
    EXPECT_TRUE(ui_.FatalText().empty());
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

TEST_F(CoreProgramTest, StopStopsTheEngineAndEndsEveryThread) {
    StartAndWaitUntilServing();
    const auto started = std::chrono::steady_clock::now();
    core_.Stop();
    // Generous on a loaded machine, yet far below what a loop that only
    // noticed the stop at its next poll or time-out would take.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_FALSE(engine_.IsActive());
    EXPECT_FALSE(core_.Running());
}

}  // namespace
}  // namespace hbt
