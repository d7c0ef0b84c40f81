// The rule list readers on any text, as typed in the interface, passed to
// hbtctl or read from the settings file: the HTTP ports, the excluded hosts
// and applications, the old version list and the custom cipher text. The
// input's first byte picks the reader and whether the rest is UTF-8 or raw
// 32-bit characters (any value, as the settings file's escapes allow).
#include <string>

#include "fuzz/fuzz_support.h"
#include "rules/preferences.h"
#include "rules/preferences_storage.h"
#include "text/text_conversion.h"

using namespace hbt;

namespace {

std::wstring WideText(std::span<const uint8_t> bytes, bool raw) {
    if (!raw) return Utf8ToWide(fuzz::InputReader::Text(bytes));
    std::wstring text;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const uint32_t unit = bytes[i] | bytes[i + 1] << 8 | bytes[i + 2] << 16 | static_cast<uint32_t>(bytes[i + 3]) << 24;
        text += static_cast<wchar_t>(unit);
    }
    return text;
}

void Ports(const std::wstring& text) {
    Preferences preferences;
    std::wstring message;
    if (!preferences.SetHttpPorts(text, message)) {
        FUZZ_CHECK(!message.empty() && preferences == Preferences());
        return;
    }
    FUZZ_CHECK(preferences.httpPortsText == text);
    for (uint32_t range : preferences.httpPorts) {
        FUZZ_CHECK(PortRangeFirst(range) >= 1 && PortRangeFirst(range) <= PortRangeLast(range));
    }
}

// Each listed name covers itself; once removed, nothing left covers it.
void Hosts(const std::wstring& text) {
    Preferences preferences;
    std::wstring message;
    if (!preferences.SetExcludedHosts(text, message)) {
        FUZZ_CHECK(!message.empty() && preferences == Preferences());
        return;
    }
    if (preferences.excludeHosts.empty()) return;
    const std::string host = preferences.excludeHosts.front();
    FUZZ_CHECK(preferences.IsHostExcluded(host));
    FUZZ_CHECK(preferences.RemoveHostFromExclusions(host, message));
    FUZZ_CHECK(!preferences.IsHostExcluded(host));
}

void Applications(const std::wstring& text) {
    Preferences preferences;
    std::wstring message;
    if (!preferences.SetExcludedApplications(text, message)) {
        FUZZ_CHECK(!message.empty() && preferences == Preferences());
        return;
    }
    for (const std::wstring& name : preferences.excludeApplications) FUZZ_CHECK(preferences.IsApplicationListed(name));
    if (preferences.excludeApplications.empty()) return;
    const std::string name = WideToUtf8(preferences.excludeApplications.front());
    FUZZ_CHECK(preferences.IsApplicationExcluded(name));
    FUZZ_CHECK(preferences.RemoveApplicationFromExclusions(name, message));
    FUZZ_CHECK(!preferences.IsApplicationExcluded(name));
}

void LegacyVersions(const std::wstring& text) {
    for (uint16_t code : ParseLegacyVersionList(text)) FUZZ_CHECK(code != 0);
}

void CustomCiphers(const std::wstring& text) {
    const auto policy = ParseCustomCipherOptions(text);
    if (!policy) return;
    FUZZ_CHECK(policy->baseMode >= 1 && policy->baseMode <= 3);
    const auto again = ParseCustomCipherOptions(FormatCustomCipherOptions(*policy));
    FUZZ_CHECK(again && again->baseMode == policy->baseMode && again->overrides == policy->overrides);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::InputReader reader(data, size);
    const uint8_t choice = reader.Byte();
    const std::wstring text = WideText(reader.Rest(), choice & 0x80);
    switch (choice % 5) {
        case 0: Ports(text); break;
        case 1: Hosts(text); break;
        case 2: Applications(text); break;
        case 3: LegacyVersions(text); break;
        default: CustomCiphers(text); break;
    }
    return 0;
}
