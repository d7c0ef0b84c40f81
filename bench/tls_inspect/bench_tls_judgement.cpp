// How many ClientHello-plus-ServerHello judgements one core makes per second,
// for a typical 512-byte TLS 1.3 client hello and a 512-byte server flight.
#include <benchmark/benchmark.h>

#include "log/log_queue.h"
#include "log/log_settings.h"
#include "tests/tls_inspect/hello_builder.h"
#include "tls_inspect/https_header_parser.h"
#include "tls_inspect/intercepted_traffic_processor.h"

namespace hbt {
namespace {

using test::Bytes;

// A browser-like hello: 16 suites, SNI, groups, key share, supported
// versions, padded to exactly 512 record bytes.
Bytes ClientHello512() {
    std::vector<test::Extension> extensions{
        test::ServerName("www.example-shop.com"),
        {10, {0x00, 0x06, 0x00, 0x1D, 0x00, 0x17, 0x00, 0x18}},
        {13, {0x00, 0x08, 0x04, 0x03, 0x08, 0x04, 0x04, 0x01, 0x05, 0x03}},
        {51, Bytes(38, 0x42)},
        test::SupportedVersions({0x0304, 0x0303}),
    };
    const std::vector<uint16_t> suites{0x1301, 0x1302, 0x1303, 0xC02B, 0xC02F, 0xC02C, 0xC030, 0xCCA9,
                                       0xCCA8, 0xC013, 0xC014, 0x009C, 0x009D, 0x002F, 0x0035, 0x00FF};
    const std::size_t unpadded = test::ClientHello(0x0303, suites, extensions, true, 32).size();
    extensions.push_back({21, Bytes(512 - unpadded - 4, 0)});
    return test::ClientHello(0x0303, suites, extensions, true, 32);
}

// ServerHello with the selected version and a key share, then the
// ChangeCipher record and the start of the encrypted flight, 512 bytes in all.
Bytes ServerFlight512() {
    Bytes flight = test::ServerHello(0x0303, 0x1302, {{51, Bytes(36, 0x24)}, test::SelectedVersion(0x0304)});
    flight.insert(flight.end(), {0x14, 0x03, 0x03, 0x00, 0x01, 0x01});
    const std::size_t rest = 512 - flight.size() - 5;
    flight.insert(flight.end(), {0x17, 0x03, 0x03, static_cast<uint8_t>(rest >> 8), static_cast<uint8_t>(rest)});
    flight.resize(512, 0x77);
    return flight;
}

Preferences StrictPreferences() {
    Preferences preferences;
    preferences.allowedSslVersions = {0x0303, 0x0304, 0x7F00};
    preferences.checkEncMethod = preferences.cipherBaseMode = 2;
    return preferences;
}

void BM_ParseBothHellos(benchmark::State& state) {
    const Bytes client = ClientHello512();
    const Bytes server = ServerFlight512();
    for (auto _ : state) {
        TlsRecordState clientState, serverState;
        std::string host;
        bool needMore = false;
        ParseFault fault;
        std::size_t available = client.size();
        benchmark::DoNotOptimize(ParseHttpsHeader(clientState, client.data(), available, needMore, host, fault));
        available = server.size();
        benchmark::DoNotOptimize(ParseHttpsHeader(serverState, server.data(), available, needMore, host, fault));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseBothHellos);

// The whole judgement of one flow as the event loop drives it: a new
// processor, the client hello out, the server flight in, the verdicts.
// `logVerbose` makes every line reach the queue (drained each time).
void JudgeFlows(benchmark::State& state, bool logVerbose) {
    const Bytes client = ClientHello512();
    const Bytes server = ServerFlight512();
    if (client.size() != 512 || server.size() != 512) state.SkipWithError("the hellos are not 512 bytes");
    const Preferences preferences = StrictPreferences();
    SetScreenLogLevel(logVerbose ? kLogVerbose : kLogNormal);
    SetFileLogLevel(0);
    LogQueue::Instance().RegisterReceiver([] {});
    for (auto _ : state) {
        CInterceptedTrafficProcessor processor(1);
        processor.SetFlowInfo({}, "192.0.2.2:50000->192.0.2.1:443", 4242, L"/usr/lib/firefox/firefox");
        FlowVerdict out, in;
        processor.OutgoingData(client, preferences, out);
        processor.IncomingData(server, preferences, in);
        if (!in.bypass) state.SkipWithError("the flow was not released");
        if (logVerbose) benchmark::DoNotOptimize(LogQueue::Instance().TakeAll());
    }
    LogQueue::Instance().ClearReceiver();
    state.SetItemsProcessed(state.iterations());
}

void BM_JudgeFlow(benchmark::State& state) { JudgeFlows(state, false); }
void BM_JudgeFlowVerboseLog(benchmark::State& state) { JudgeFlows(state, true); }
BENCHMARK(BM_JudgeFlow);
BENCHMARK(BM_JudgeFlowVerboseLog);

}  // namespace
}  // namespace hbt
