// hbt-engined: the interception engine, serving its control device on a
// Unix-domain socket until SIGINT or SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "HbtEngineDrv/daemon/engined_options.h"
#include "HbtEngineDrv/daemon/idle_platform.h"
#include "HbtEngineDrv/device/device_socket_server.h"
#include "HbtEngineDrv/engine/nfe_engine.h"

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

int Run(const hbt::EnginedOptions& options, const sigset_t& stopSignals) {
    hbt::IdlePlatform platform;
    hbt::NfeEngine engine(platform);
    hbt::DeviceSocketServer server(engine, hbt::DeviceSocketServerOptions{options.devicePath, options.allowedUids});
    std::string error;
    if (!server.Start(error)) {
        std::cerr << "hbt-engined: " << error << "\n";
        return 1;
    }
    std::cerr << "hbt-engined: serving " << options.devicePath << " (dry run: nothing is intercepted)" << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.Stop();
    engine.Teardown();
    std::cerr << "hbt-engined: stopped" << std::endl;
    return 0;
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
    if (!options->dryRun) {
        std::cerr << "hbt-engined: this build has no packet-filter platform yet; run it with --dry-run\n";
        return 2;
    }
    return Run(*options, stopSignals);
}
