#include "core/hbt_core.h"

#include <arpa/inet.h>

#include <chrono>

#include "core/core_engine_event_host.h"
#include "platform/safe_socket.h"
#include "engine_client/engine_event_loop.h"
#include "https_check/https_checker.h"
#include "log/log.h"
#include "platform/engine_socket_device.h"
#include "platform/file_settings_store.h"
#include "platform/socket_address.h"

namespace hbt {

CHbtCore::CHbtCore()
    : engineClient_(std::make_unique<NfeDeviceClient>([this](uint32_t& win32Error) -> std::unique_ptr<EngineDevice> {
          if (deviceOpener_) return deviceOpener_(win32Error);
          return SocketEngineDevice::Open(EngineDevicePath(), win32Error);
      })),
      engineHost_(std::make_unique<CoreEngineEventHost>(*this)),
      engineEventLoop_(std::make_unique<CEngineEventLoop>(
          *engineHost_, *engineClient_, [this](std::chrono::milliseconds duration) { WaitUnlessStopped(duration); })) {}

SettingsStore& CHbtCore::SettingsStoreForCore() {
    if (!settingsStore_) settingsStore_ = std::make_shared<FileSettingsStore>(DefaultSettingsPath());
    return *settingsStore_;
}

CHbtCore::~CHbtCore() {
    // Connection threads still in progress use the core when they end: end
    // their client connections, which ends their reads and relays, and wait.
    activeConnections_.ShutDownAll();
    activeConnections_.WaitUntilNone();
}

bool CHbtCore::OpenProxyListeners(std::wstring& fatalMessage) {
    const auto ipv4Address = ParseIpAddress("127.0.0.1", 0);
    if (!ipv4Address) {
        fatalMessage = L"Could not initialize main socket address";
        return false;
    }
    const auto ipv6Address = ParseIpAddress("::1", 0);
    if (!ipv6Address) CLog(kLogError) << "Could not initialize main IPv6 socket address";

    auto ipv4 = CSafeSocket::Create(kFamilyIpv4);
    auto ipv6 = ipv6Address ? CSafeSocket::Create(kFamilyIpv6) : nullptr;
    if (!ipv4) {
        CLog(kLogError) << "Could not create main socket";
        fatalMessage = L"Could not create main socket";
        return false;
    }
    if (!ipv6) CLog(kLogError) << "Could not create IPv6 main socket";

    if (!BindSocket(ipv4->Handle(), *ipv4Address)) {
        CLog(kLogError) << "Could not bind main socket";
        fatalMessage = L"Could not bind main socket";
        return false;
    }
    // An IPv6 socket that cannot bind or listen is dropped, so that its accept
    // loop ends at once instead of failing on every pass.
    if (ipv6 && !BindSocket(ipv6->Handle(), *ipv6Address)) {
        CLog(kLogError) << "Could not bind main socket";
        ipv6.reset();
    }
    ipv4ProxyAddress = LocalAddress(ipv4->Handle()).value_or(SocketAddressSlot{});
    if (ipv6) ipv6ProxyAddress = LocalAddress(ipv6->Handle()).value_or(SocketAddressSlot{});

    if (!ListenSocket(ipv4->Handle(), kListenBacklog)) {
        CLog(kLogError) << "Could not listen main socket";
        fatalMessage = L"Could not listen main socket";
        return false;
    }
    if (ipv6 && !ListenSocket(ipv6->Handle(), kListenBacklog)) {
        CLog(kLogError) << "Could not listen main socket";
        ipv6.reset();
    }
    std::lock_guard lock(listenersLock_);
    ipv4Listener = std::move(ipv4);
    ipv6Listener = std::move(ipv6);
    return true;
}

bool CHbtCore::OpenControlListener(std::wstring& fatalMessage) {
    const auto address = ParseIpAddress("127.0.0.1", 0);
    if (!address) {
        fatalMessage = L"Could not initialize config socket address";
        return false;
    }
    auto socket = CSafeSocket::Create(kFamilyIpv4);
    if (!socket) {
        CLog(kLogError) << "Could not create config socket";
        fatalMessage = L"Could not create config socket";
        return false;
    }
    if (!BindSocket(socket->Handle(), *address)) {
        CLog(kLogError) << "Could not bind config socket";
        fatalMessage = L"Could not bind config socket";
        return false;
    }
    const SocketAddressSlot bound = LocalAddress(socket->Handle()).value_or(SocketAddressSlot{});
    if (!ListenSocket(socket->Handle(), kListenBacklog)) {
        CLog(kLogError) << "Could not listen config socket";
        fatalMessage = L"Could not listen config socket";
        return false;
    }
    std::lock_guard lock(listenersLock_);
    controlListener = std::move(socket);
    controlPort = htons(bound.Port());
    return true;
}

void CHbtCore::Stop() {
    running.exchange(false);
    {
        std::lock_guard lock(stopLock_);  // a waiter between its check and its wait still hears it
    }
    stopSignal_.notify_all();
    HttpsChecker().StopChecks();
    updateChecker_.Stop();
    std::shared_ptr<CSafeSocket> ipv4;
    std::shared_ptr<CSafeSocket> ipv6;
    {
        std::lock_guard lock(listenersLock_);
        ipv4.swap(ipv4Listener);
        ipv6.swap(ipv6Listener);
    }
    if (ipv4) ipv4->Close();
    if (ipv6) ipv6->Close();
    if (engineClient_->IsOpen()) {
        engineClient_->Stop();
        engineClient_->CloseDevice();  // also ends the event loop's waiting request
    }
    activeConnections_.WaitUntilAllResolved();
    HttpsChecker().WaitForRunningChecks();
    if (mainThread.joinable()) mainThread.join();
    if (engineEventThread.joinable()) engineEventThread.join();
}

CHttpsChecker& CHbtCore::HttpsChecker() const { return httpsChecker_ ? *httpsChecker_ : CHttpsChecker::Instance(); }

void CHbtCore::WaitUnlessStopped(std::chrono::milliseconds duration) {
    std::unique_lock lock(stopLock_);
    stopSignal_.wait_for(lock, duration, [this] { return !running.load(); });
}

std::shared_ptr<CSafeSocket> CHbtCore::Ipv4Listener() const {
    std::lock_guard lock(listenersLock_);
    return ipv4Listener;
}

std::shared_ptr<CSafeSocket> CHbtCore::Ipv6Listener() const {
    std::lock_guard lock(listenersLock_);
    return ipv6Listener;
}

std::shared_ptr<CSafeSocket> CHbtCore::ControlListener() const {
    std::lock_guard lock(listenersLock_);
    return controlListener;
}

uint16_t CHbtCore::ControlPortHostOrder() const { return ntohs(controlPort); }

std::shared_ptr<const Preferences> CHbtCore::PreferencesSnapshot() const {
    std::lock_guard lock(preferencesLock_);
    return preferences_;
}

std::shared_ptr<const Preferences> CHbtCore::ReplacePreferences(Preferences replacement) {
    auto snapshot = std::make_shared<const Preferences>(std::move(replacement));
    std::lock_guard lock(preferencesLock_);
    preferences_.swap(snapshot);
    return snapshot;
}

bool CHbtCore::AddTemporaryExclusion(const SocketAddressSlot& address) {
    temporaryExclusions_.Add(address);
    return PushRulesToEngine();
}

bool CHbtCore::RemoveTemporaryExclusion(const SocketAddressSlot& address) {
    temporaryExclusions_.Remove(address);
    return PushRulesToEngine();
}

}  // namespace hbt
