// hbtctl tls-judge [--client FILE] [--server FILE] [--raw]: judges hellos cut
// from a capture exactly as an inspected connection would be judged, with the
// stored preferences, and shows every line the judgement writes.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "log/log_queue.h"
#include "log/log_settings.h"
#include "platform/file_settings_store.h"
#include "text/text_conversion.h"
#include "rules/preferences_storage.h"
#include "tls_inspect/intercepted_traffic_processor.h"
#include "tools/command.h"

namespace hbt::ctl {
namespace {

constexpr char kDescription[] = "tls-judge";

struct JudgeArgs {
    std::string clientFile;
    std::string serverFile;
    bool raw = false;
};

std::optional<JudgeArgs> ParseArgs(const std::vector<std::string>& args) {
    JudgeArgs parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--raw") {
            parsed.raw = true;
        } else if ((args[i] == "--client" || args[i] == "--server") && i + 1 < args.size()) {
            (args[i] == "--client" ? parsed.clientFile : parsed.serverFile) = args[i + 1];
            ++i;
        } else {
            return std::nullopt;
        }
    }
    if (parsed.clientFile.empty() && parsed.serverFile.empty()) return std::nullopt;
    return parsed;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hex digits in pairs; whitespace anywhere is ignored.
bool DecodeHex(const std::string& text, std::vector<uint8_t>& bytes, std::string& error) {
    int high = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        const int digit = HexDigit(c);
        if (digit < 0) {
            error = "not a hexadecimal digit at offset " + std::to_string(i);
            return false;
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0) {
        error = "odd number of hexadecimal digits";
        return false;
    }
    return true;
}

bool ReadInput(const std::string& path, bool raw, std::vector<uint8_t>& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "hbtctl: cannot read %s\n", path.c_str());
        return false;
    }
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (raw) {
        bytes.assign(content.begin(), content.end());
        return true;
    }
    std::string error;
    if (!DecodeHex(content, bytes, error)) {
        std::fprintf(stderr, "hbtctl: %s: %s (use --raw for binary files)\n", path.c_str(), error.c_str());
        return false;
    }
    return true;
}

std::string HexText(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, " %02x", b);
        text += pair;
    }
    return text;
}

const char* VerdictName(FlowState state) {
    switch (state) {
        case FlowState::kClosed: return "block";
        case FlowState::kDetached: return "bypass";
        case FlowState::kInspecting: break;
    }
    return "inspecting";
}

// Feeds the client's bytes and, while the flow is still inspected, the
// server's; returns the bytes delivered towards the application.
std::vector<uint8_t> Judge(CInterceptedTrafficProcessor& processor, const std::vector<uint8_t>* client,
                           const std::vector<uint8_t>* server, const Preferences& preferences) {
    FlowVerdict verdict;
    if (client) processor.OutgoingData(*client, preferences, verdict);
    if (server && processor.State() == FlowState::kInspecting) processor.IncomingData(*server, preferences, verdict);
    if (verdict.refusal) WriteRefusalLine(*verdict.refusal, 1);
    return verdict.deliverIn;
}

int RunTlsJudge(const std::vector<std::string>& args) {
    const std::optional<JudgeArgs> parsed = ParseArgs(args);
    if (!parsed) {
        std::fprintf(stderr, "usage:\n%s", kTlsJudgeCommand.usage);
        return kExitUsage;
    }
    std::vector<uint8_t> client, server;
    if (!parsed->clientFile.empty() && !ReadInput(parsed->clientFile, parsed->raw, client)) return kExitRefused;
    if (!parsed->serverFile.empty() && !ReadInput(parsed->serverFile, parsed->raw, server)) return kExitRefused;

    FileSettingsStore store(DefaultSettingsPath());
    Preferences preferences;
    LoadPreferences(store, preferences);

    // Every line at every level, whatever levels the user chose for the program.
    SetScreenLogLevel(kLogVerbose);
    SetFileLogLevel(0);
    LogQueue::Instance().RegisterReceiver([] {});
    CInterceptedTrafficProcessor processor(0);
    processor.SetFlowInfo({}, kDescription, 0, L"hbtctl");
    const std::vector<uint8_t> delivered =
        Judge(processor, parsed->clientFile.empty() ? nullptr : &client,
              parsed->serverFile.empty() ? nullptr : &server, preferences);
    LogQueue::Instance().ClearReceiver();

    for (const LogRecord& record : LogQueue::Instance().TakeAll()) {
        std::printf("%s\n", WideToUtf8(record.message).c_str());
    }
    const bool blocked = processor.State() == FlowState::kClosed;
    std::printf("verdict: %s%s\n", VerdictName(processor.State()), blocked ? HexText(delivered).c_str() : "");
    return kExitOk;
}

}  // namespace

const Command kTlsJudgeCommand = {
    "tls-judge",
    "  hbtctl tls-judge [--client FILE] [--server FILE] [--raw]\n"
    "                                 judge a captured client hello and server answer (hex text, or raw\n"
    "                                 bytes with --raw) with the stored preferences\n",
    RunTlsJudge,
};

}  // namespace hbt::ctl
