// hbt-engined: the interception engine, serving its control device on a
// Unix-domain socket until SIGINT or SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "HbtEngineDrv/daemon/engined_options.h"
#include "HbtEngineDrv/daemon/idle_platform.h"
#include "HbtEngineDrv/daemon/service_notify.h"
#include "HbtEngineDrv/device/device_socket_server.h"
#include "HbtEngineDrv/engine/expiry_ticker.h"
#include "HbtEngineDrv/engine/nfe_engine.h"
#include "HbtEngineDrv/netfilter/netfilter_platform.h"
#include "update/version_line.h"

namespace {

// Signals are taken synchronously by the main thread; every other thread
// inherits the blocked mask.
sigset_t BlockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return signals;
}

int Serve(hbt::NfeEngine& engine, const hbt::EnginedOptions& options, const sigset_t& stopSignals,
          hbt::NetfilterPlatform* netfilter) {
    hbt::DeviceSocketServer server(engine, hbt::DeviceSocketServerOptions{options.devicePath, options.allowedUids});
    std::string error;
    if (!server.Start(error)) {
        std::cerr << "hbt-engined: " << error << "\n";
        return 1;
    }
    if (netfilter != nullptr && !netfilter->Start(engine, &error)) {
        std::cerr << "hbt-engined: cannot intercept connections: " << error << "\n";
        server.Stop();
        return 1;
    }
    std::cerr << "hbt-engined: serving " << options.devicePath
              << (netfilter != nullptr ? "" : " (dry run: nothing is intercepted)") << std::endl;
    hbt::NotifyServiceManager("READY=1");
    int signal = 0;
    {
        // A connect the program never answers goes on within a second of its time-out.
        hbt::ExpiryTicker ticker([&engine] { engine.ExpirePending(); }, std::chrono::seconds(1));
        sigwait(&stopSignals, &signal);
    }
    hbt::NotifyServiceManager("STOPPING=1");
    server.Stop();
    engine.Teardown();
    // Every rule of ours goes before the engine does.
    if (netfilter != nullptr) netfilter->Stop();
    std::cerr << "hbt-engined: stopped" << std::endl;
    return 0;
}

int Run(const hbt::EnginedOptions& options, const sigset_t& stopSignals) {
    if (options.dryRun) {
        hbt::IdlePlatform platform;
        hbt::NfeEngine engine(platform);
        return Serve(engine, options, stopSignals, nullptr);
    }
    hbt::NetfilterOptions netfilterOptions;
    netfilterOptions.log = [](const std::string& line) { std::cerr << "hbt-engined: " << line << std::endl; };
    hbt::NetfilterPlatform platform(netfilterOptions);
    hbt::NfeEngine engine(platform);
    const int status = Serve(engine, options, stopSignals, &platform);
    platform.Stop();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const sigset_t stopSignals = BlockStopSignals();
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    std::optional<hbt::EnginedOptions> options =
        hbt::ParseEnginedOptions(args, std::getenv("SUDO_UID"), ::getuid(), error);
    if (!options) {
        std::cerr << "hbt-engined: " << error << "\n" << hbt::EnginedUsage();
        return 2;
    }
    if (options->help) {
        std::cout << hbt::EnginedUsage();
        return 0;
    }
    if (options->version) {
        std::cout << hbt::VersionLine("hbt-engined") << "\n";
        return 0;
    }
    return Run(*options, stopSignals);
}
