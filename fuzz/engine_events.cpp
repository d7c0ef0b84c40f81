// The program's side of the engine device: the input is the byte stream of
// replies the engine sends, cut into replies by the program's frame reader.
// Each request of the event loop (a wait for an event, an answer to a connect,
// a flow operation) takes the next reply, so the events and the answers to the
// loop's own requests both come from the input; the version check at opening
// is answered apart. The loop runs until the replies are used up, which it
// sees as the engine gone. The input's first byte sets the preferences.
#include <memory>
#include <vector>

#include "engine_client/engine_event_loop.h"
#include "engine_protocol/device_frame.h"
#include "engine_protocol/nfe_protocol.h"
#include "fuzz/fuzz_support.h"
#include "platform/socket_address.h"
#include "rules/preferences_storage.h"

using namespace hbt;

namespace {

class ReplyStream : public EngineDevice {
public:
    explicit ReplyStream(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    void Submit(uint32_t controlCode, std::vector<uint8_t>, uint32_t, DeviceCompletion done) override {
        if (controlCode == NFE_IOCTL_GET_VERSION) {
            done(DeviceReply{kStatusSuccess, 4, {NFE_VERSION, 0, 0, 0}});
            return;
        }
        DeviceReplyHeader header;
        const ByteScan scan = ScanDeviceReply(bytes_.data(), bytes_.size(), header);
        if (!scan.IsComplete()) {
            done(DeviceReply{kStatusCancelled, 0, {}});  // the connection ended
            return;
        }
        const auto output = bytes_.subspan(kDeviceReplyHeaderSize, scan.length - kDeviceReplyHeaderSize);
        bytes_ = bytes_.subspan(scan.length);
        done(DeviceReply{header.status, header.information, {output.begin(), output.end()}});
    }
    void Close() override { bytes_ = {}; }

private:
    std::span<const uint8_t> bytes_;
};

Preferences PreferencesFor(uint8_t options) {
    class Empty : public SettingsStore {
        int32_t GetInt(const std::string&, const std::string&, int32_t value) const override { return value; }
        std::wstring GetString(const std::string&, const std::string&, const std::wstring& value) const override {
            return value;
        }
        void SetInt(const std::string&, const std::string&, int32_t) override {}
        void SetString(const std::string&, const std::string&, const std::wstring&) override {}
        bool Save() override { return true; }
        void Reload() override {}
    };
    Preferences preferences;
    LoadPreferences(Empty(), preferences);
    std::wstring message;
    preferences.SetExcludedHosts(L"*.excluded.example; 198.51.100.0-198.51.100.255", message);
    preferences.SetExcludedApplications(L"wget", message);
    preferences.enabled = (options & 1) == 0;
    preferences.allowInsecureIfNoHttps = (options & 2) != 0;  // Best-Effort Mode
    preferences.monitorSslOnAllPorts = (options & 4) != 0;
    preferences.checkEncMethod = (options & 8) ? kCipherSafeOnlyFf : kCipherSafeOnly;
    return preferences;
}

class Host : public EngineEventHost {
public:
    explicit Host(Preferences preferences) : preferences_(std::make_shared<const Preferences>(std::move(preferences))) {}

    bool IsRunning() const override { return true; }
    std::shared_ptr<const Preferences> PreferencesSnapshot() const override { return preferences_; }
    bool IsTemporarilyExcluded(const SocketAddressSlot&) const override { return false; }
    uint64_t AppendRedirectRecord(const SocketAddressSlot&, const SocketAddressSlot&, uint32_t,
                                  const std::wstring&) override {
        return ++lastRecord_;
    }
    void WithdrawRedirectRecord(uint64_t) override {}
    void ClearRedirectRecords() override {}
    SocketAddressSlot ProxyAddress(bool ipv6) const override {
        return *ParseIpAddress(ipv6 ? "::1" : "127.0.0.1", 31001);
    }
    void Count(EngineCounter) override {}
    bool DisplayOff() const override { return false; }
    bool AdmitToProxy() override { return true; }
    void EngineGone() override {}
    bool ReopenEngine() override { return false; }

private:
    std::shared_ptr<const Preferences> preferences_;
    uint64_t lastRecord_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::LogEverything();
    fuzz::InputReader reader(data, size);
    Host host(PreferencesFor(reader.Byte()));
    const std::span<const uint8_t> replies = reader.Rest();
    {
        NfeDeviceClient client([replies](uint32_t&) { return std::make_unique<ReplyStream>(replies); });
        FUZZ_CHECK(client.NfeOpenDevice());
        // A clock that stands still: refusals fold the same on every run.
        CEngineEventLoop loop(host, client, [](std::chrono::milliseconds) {},
                              [] { return CRefusalFolding::Clock::time_point{}; });
        for (;;) {
            const CEngineEventLoop::StepResult result = loop.Step();
            if (result == CEngineEventLoop::StepResult::kEngineGone) break;
            FUZZ_CHECK(result != CEngineEventLoop::StepResult::kStop);
        }
    }
    fuzz::DrainLog();
    return 0;
}
