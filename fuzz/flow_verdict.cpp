// The judge of an inspected flow fed any sequence of segments from both sides,
// with releases and closes between them, under the TLS policy the input's
// first byte sets; segments stop once the flow is no longer inspected, as the
// engine client stops passing them. Whatever the judge gives on is what it
// was given, in order, and nothing else: the application's bytes towards the
// server, the server's bytes (or, for a refused flow, only an alert) towards
// the application, and everything at once when it lets the flow go.
#include <algorithm>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/socket_address.h"
#include "tls_inspect/intercepted_traffic_processor.h"

using namespace hbt;

namespace {

Preferences PolicyFor(uint8_t options) {
    static constexpr uint16_t kCodes[] = {kVersionSsl2, kVersionSsl3, kVersionTls10, kVersionTls11, kVersionTls12};
    Preferences preferences;
    preferences.allowInsecureIfNoHttps = (options & 1) != 0;  // Best-Effort Mode
    for (int i = 0; i < 5; ++i) {
        if (options & (2 << i)) preferences.allowedSslVersions.push_back(kCodes[i]);
    }
    if (options & 0x40) {
        preferences.allowedSslVersions.push_back(kVersionTls13);
        preferences.allowedSslVersions.push_back(kVersionTls13Early);
    }
    preferences.checkEncMethod = preferences.cipherBaseMode = (options & 0x80) ? kCipherSafeOnlyFf : kCipherSafeOnly;
    std::wstring message;
    preferences.SetExcludedHosts(L"*.excluded.example", message);
    return preferences;
}

bool StartsWith(const std::vector<uint8_t>& all, const std::vector<uint8_t>& part) {
    return part.size() <= all.size() && std::equal(part.begin(), part.end(), all.begin());
}

struct Sides {
    std::vector<uint8_t> fromApplication, fromServer;  // everything given to the judge
    std::vector<uint8_t> toServer, toApplication;      // everything the judge gave on

    void Check(const CInterceptedTrafficProcessor& judge, const FlowVerdict& verdict) {
        FUZZ_CHECK(!(verdict.block && verdict.bypass));
        toServer.insert(toServer.end(), verdict.sendOut.begin(), verdict.sendOut.end());
        FUZZ_CHECK(StartsWith(fromApplication, toServer));
        if (verdict.block) {
            FUZZ_CHECK(judge.State() == FlowState::kClosed && verdict.refusal.has_value());
            FUZZ_CHECK(verdict.deliverIn.size() == 5 || verdict.deliverIn.size() == 7);
            return;
        }
        toApplication.insert(toApplication.end(), verdict.deliverIn.begin(), verdict.deliverIn.end());
        FUZZ_CHECK(StartsWith(fromServer, toApplication));
        if (judge.State() != FlowState::kInspecting && judge.State() != FlowState::kClosed) {
            FUZZ_CHECK(toServer == fromApplication && toApplication == fromServer);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::LogEverything();
    fuzz::InputReader reader(data, size);
    const Preferences preferences = PolicyFor(reader.Byte());
    {
        CInterceptedTrafficProcessor judge(7);
        judge.SetFlowInfo(*ParseIpAddress("192.0.2.1", 443), "192.0.2.2:40000->192.0.2.1:443", 4242,
                          L"/usr/bin/curl");
        Sides sides;
        while (!reader.Empty() && judge.State() == FlowState::kInspecting) {
            // Each step: what happens (two low bits) and, for a segment, its length and bytes.
            const uint8_t step = reader.Byte();
            FlowVerdict verdict;
            if ((step & 3) < 2) {
                const auto segment = reader.Bytes(reader.U16() % 4096);
                auto& given = (step & 3) == 0 ? sides.fromApplication : sides.fromServer;
                given.insert(given.end(), segment.begin(), segment.end());
                if ((step & 3) == 0) {
                    judge.OutgoingData(segment, preferences, verdict);
                } else {
                    judge.IncomingData(segment, preferences, verdict);
                }
            } else if ((step & 3) == 2) {
                judge.Release(verdict);
            } else {
                judge.CloseAndTakeHeld(verdict);
                sides.Check(judge, verdict);
                FUZZ_CHECK(sides.toServer == sides.fromApplication && sides.toApplication == sides.fromServer);
                break;
            }
            sides.Check(judge, verdict);
        }
        judge.Finish();
    }
    fuzz::DrainLog();
    return 0;
}
