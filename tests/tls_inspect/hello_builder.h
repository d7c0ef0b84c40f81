#pragma once
// Hand-built records for the cases real stacks never send.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace hbt::test {

using Bytes = std::vector<uint8_t>;

inline void PutU16(Bytes& out, std::size_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

struct Extension {
    uint16_t type;
    Bytes body;
};

inline Extension SupportedVersions(std::initializer_list<uint16_t> versions) {
    Extension e{43, {static_cast<uint8_t>(versions.size() * 2)}};
    for (uint16_t v : versions) PutU16(e.body, v);
    return e;
}

inline Extension ServerName(const std::string& host) {
    Extension e{0, {}};
    PutU16(e.body, host.size() + 3);
    e.body.push_back(0);
    PutU16(e.body, host.size());
    e.body.insert(e.body.end(), host.begin(), host.end());
    return e;
}

inline Extension SelectedVersion(uint16_t version) {
    Extension e{43, {}};
    PutU16(e.body, version);
    return e;
}

// Wraps a handshake message body into a handshake record of `recordVersion`.
inline Bytes HandshakeRecord(uint8_t type, const Bytes& body, uint16_t recordVersion = 0x0301) {
    Bytes out{22};
    PutU16(out, recordVersion);
    PutU16(out, body.size() + 4);
    out.push_back(type);
    out.push_back(static_cast<uint8_t>(body.size() >> 16));
    PutU16(out, body.size() & 0xFFFF);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline void PutExtensions(Bytes& body, const std::vector<Extension>& extensions) {
    std::size_t total = 0;
    for (const Extension& e : extensions) total += 4 + e.body.size();
    PutU16(body, total);
    for (const Extension& e : extensions) {
        PutU16(body, e.type);
        PutU16(body, e.body.size());
        body.insert(body.end(), e.body.begin(), e.body.end());
    }
}

// A ClientHello with one session id byte per `sessionIdLength`, the given
// suites, one null compression method, and the extensions (none at all when
// `withExtensions` is false).
inline Bytes ClientHello(uint16_t helloVersion, std::vector<uint16_t> suites, std::vector<Extension> extensions,
                         bool withExtensions = true, uint8_t sessionIdLength = 0, uint16_t recordVersion = 0x0301) {
    Bytes body;
    PutU16(body, helloVersion);
    body.insert(body.end(), 32, 0xAB);
    body.push_back(sessionIdLength);
    body.insert(body.end(), sessionIdLength, 0x5A);
    PutU16(body, suites.size() * 2);
    for (uint16_t s : suites) PutU16(body, s);
    body.push_back(1);
    body.push_back(0);
    if (withExtensions) PutExtensions(body, extensions);
    return HandshakeRecord(1, body, recordVersion);
}

inline Bytes ServerHello(uint16_t helloVersion, uint16_t suite, std::vector<Extension> extensions = {},
                         uint8_t sessionIdLength = 32) {
    Bytes body;
    PutU16(body, helloVersion);
    body.insert(body.end(), 32, 0xCD);
    body.push_back(sessionIdLength);
    body.insert(body.end(), sessionIdLength, 0x11);
    PutU16(body, suite);
    body.push_back(0);
    if (!extensions.empty()) PutExtensions(body, extensions);
    return HandshakeRecord(2, body, 0x0303);
}

inline std::string Hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace hbt::test
