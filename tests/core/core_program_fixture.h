#pragma once
// The core run as a whole against the real engine (in-process, on the
// simulated platform), with a recording front end and a settings file of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

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
#include "tests/core/recording_interface.h"
#include "tests/http/loopback.h"
#include "ui/statistics_text.h"

namespace hbt {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit = 30000ms) {
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
        // No update check unless a test asks for one.
        store_->SetInt("Settings", "updatesCheck", 0);
        store_->SetInt("Settings", "lastUpdateCheck", static_cast<int32_t>(std::time(nullptr)));
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

}  // namespace hbt
