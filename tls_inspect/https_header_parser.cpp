#include "tls_inspect/https_header_parser.h"

#include <algorithm>

namespace hbt {
namespace {

constexpr std::size_t kRecordHeaderSize = 5;
constexpr std::size_t kHelloVersionOffset = 9;
constexpr std::size_t kRandomOffset = 11;
constexpr std::size_t kSessionIdLengthOffset = 43;
constexpr std::size_t kSessionIdOffset = 44;
constexpr std::size_t kMaxSessionIdLength = 32;
constexpr uint16_t kSsl2 = 0x0200;
constexpr uint16_t kSsl3 = 0x0300;
constexpr uint16_t kNewestSsl3Family = 0x03FF;
constexpr uint16_t kExtensionServerName = 0;
constexpr uint16_t kExtensionSupportedVersions = 43;

uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t ReadU24(const uint8_t* p) { return static_cast<uint32_t>(p[0] << 16 | p[1] << 8 | p[2]); }

// A hello version of (3, n) also offers every older version down to SSL 3. A
// larger major offers every (3, n) and no more is listed, so that a made-up
// version cannot make the list, and the log line naming it, 64K entries long.
void AddVersionsDownToSsl3(std::vector<uint16_t>& versions, uint16_t newest) {
    for (uint32_t v = std::min<uint32_t>(newest, kNewestSsl3Family); v >= kSsl3; --v) {
        versions.push_back(static_cast<uint16_t>(v));
    }
}

// Fields that start both hellos: handshake length, hello version, random, session id length.
void ReadHelloStart(TlsRecordState& state, const uint8_t* data) {
    state.handshakeLength = ReadU24(data + 6);
    state.helloVersion = {data[kHelloVersionOffset], data[kHelloVersionOffset + 1]};
    std::copy_n(data + kRandomOffset, state.random.size(), state.random.begin());
    state.sessionIdLength = data[kSessionIdLengthOffset];
}

void ReadServerName(const uint8_t* body, uint16_t length, std::string& host) {
    // list length (2), name type (1), name length (2), name
    if (length < 5 || ReadU16(body) <= 2 || body[2] != 0) return;
    const uint16_t nameLength = ReadU16(body + 3);
    if (nameLength == 0 || 5u + nameLength > length) return;
    host.assign(reinterpret_cast<const char*>(body + 5), nameLength);
}

void ReadOfferedVersions(const uint8_t* body, uint16_t length, std::vector<uint16_t>& versions) {
    if (length == 0) return;
    const uint8_t listLength = body[0];
    if (length != listLength + 1 || listLength / 2 < 1) return;
    for (int i = 0; i < listLength / 2; ++i) versions.push_back(ReadU16(body + 1 + 2 * i));
}

// Walks the ClientHello's extensions from `p`. The count of bytes left is a
// 16-bit value that wraps, as it always has; every extension must lie within
// the available bytes, so a wrong total ends the walk with a refusal.
bool ReadClientExtensions(TlsRecordState& state, const uint8_t* data, std::size_t p, uint16_t total,
                          std::size_t available, std::string& host) {
    uint16_t remaining = total;
    while (remaining != 0) {
        if (p + 4 > available) return false;
        const uint16_t type = ReadU16(data + p);
        const uint16_t length = ReadU16(data + p + 2);
        if (p + 4 + length > available) return false;
        const uint8_t* body = data + p + 4;
        if (type == kExtensionServerName) ReadServerName(body, length, host);
        if (type == kExtensionSupportedVersions) ReadOfferedVersions(body, length, state.versions);
        p += 4u + length;
        remaining = static_cast<uint16_t>(remaining - (4u + length));
    }
    return true;
}

bool ParseClientHello(TlsRecordState& state, const uint8_t* data, std::size_t available, bool needMore,
                      std::string& host) {
    if (available <= kSessionIdOffset) return false;
    ReadHelloStart(state, data);
    const uint16_t helloVersion = ReadU16(data + kHelloVersionOffset);

    std::size_t p = kSessionIdOffset + state.sessionIdLength;
    if (p + 2 > available) return false;
    state.cipherSuitesLength = ReadU16(data + p);
    if (p + 2 + state.cipherSuitesLength + 1 > available) return false;
    state.compressionMethodsLength = data[p + 2 + state.cipherSuitesLength];
    p += 2u + state.cipherSuitesLength + 1u + state.compressionMethodsLength;

    if (p < available) {
        if (p + 2 > available) return false;
        state.extensionsLength = ReadU16(data + p);
        if (p + 2 + state.extensionsLength > available) return false;
        if (!ReadClientExtensions(state, data, p + 2, state.extensionsLength, available, host)) return false;
    } else if (needMore) {
        // The extensions (and the supported versions in them) may be in the
        // part of the record that has not arrived yet.
        return false;
    }
    if (state.versions.empty()) AddVersionsDownToSsl3(state.versions, helloVersion);
    return true;
}

// A TLS 1.3 server keeps 0x0303 in its hello version and names the version it
// chose in a supported-versions extension; that choice is the server's version.
bool ReadServerExtensions(TlsRecordState& state, const uint8_t* data, std::size_t p, std::size_t available) {
    const std::size_t helloEnd = kHelloVersionOffset + state.handshakeLength;
    if (p >= helloEnd) return true;  // no extensions
    if (helloEnd > available) return false;  // the rest of the hello is still to come, or it overruns its record
    if (p + 2 > helloEnd) return false;
    const uint16_t total = ReadU16(data + p);
    std::size_t q = p + 2;
    const std::size_t end = q + total;
    if (end > helloEnd) return false;
    uint16_t selected = 0;
    while (q < end) {
        if (q + 4 > end) return false;
        const uint16_t type = ReadU16(data + q);
        const uint16_t length = ReadU16(data + q + 2);
        if (q + 4 + length > end) return false;
        if (type == kExtensionSupportedVersions && length == 2) selected = ReadU16(data + q + 4);
        q += 4u + length;
    }
    if (selected != 0) state.versions.assign(1, selected);
    return true;
}

bool ParseServerHello(TlsRecordState& state, const uint8_t* data, std::size_t available, ParseFault& fault) {
    if (available <= kSessionIdOffset) return false;
    ReadHelloStart(state, data);
    state.versions.push_back(ReadU16(data + kHelloVersionOffset));

    if (state.helloVersion[1] >= 4) {
        // TLS 1.3 drafts (0x7Fnn) have no session id: the suite follows the random.
        state.cipherSuite = {data[kSessionIdLengthOffset], data[kSessionIdLengthOffset + 1]};
        return true;
    }
    const std::size_t sessionIdLength = state.sessionIdLength;
    if (sessionIdLength > kMaxSessionIdLength) {
        fault = ParseFault::kSessionIdLengthIncorrect;
        return false;
    }
    const std::size_t suiteOffset = kSessionIdOffset + sessionIdLength;
    if (suiteOffset + 2 > available) return false;
    std::copy_n(data + kSessionIdOffset, sessionIdLength, state.sessionId.begin());
    state.cipherSuite = {data[suiteOffset], data[suiteOffset + 1]};
    // suite (2), compression method (1), then the extensions
    return ReadServerExtensions(state, data, suiteOffset + 3, available);
}

bool ParseSsl2Hello(TlsRecordState& state, const uint8_t* data) {
    constexpr uint8_t kClientHello = 1;
    constexpr uint8_t kServerHello = 4;
    state.contentType = kContentTypeHandshake;
    state.versionMajor = 2;
    state.versionMinor = 0;
    state.versions.push_back(kSsl2);

    const std::size_t h = (data[0] & 0x80) ? 0 : 1;  // two- or three-byte header
    state.recordLength = static_cast<uint32_t>((data[0] & 0x3F) * 256 + data[1]);
    const uint8_t messageType = data[h + 2];
    state.handshakeType = messageType;
    uint8_t major = 0;
    uint8_t minor = 2;
    if (messageType == kClientHello) {
        major = data[h + 3];
        minor = data[h + 4];
    } else if (messageType != kServerHello) {
        return false;
    }
    if (major == 0 && minor == 2) return true;
    if (major == 0 && minor == 3) {
        state.versions.push_back(kSsl3);
        return true;
    }
    state.versionMajor = major;
    state.versionMinor = minor;
    if (major != 3) return false;
    AddVersionsDownToSsl3(state.versions, static_cast<uint16_t>(0x0300 | minor));
    return true;
}

}  // namespace

bool ParseHttpsHeader(TlsRecordState& state, const uint8_t* data, std::size_t& available, bool& needMore,
                      std::string& host, ParseFault& fault) {
    needMore = false;
    fault = ParseFault::kNone;
    if (available < kRecordHeaderSize + 1) return false;

    state.contentType = data[0];
    state.versionMajor = data[1];
    state.versionMinor = data[2];
    state.recordLength = ReadU16(data + 3);
    state.handshakeType = data[5];
    if (available < state.recordLength + kRecordHeaderSize) {
        needMore = true;
    } else {
        available = state.recordLength + kRecordHeaderSize;
    }
    if (state.handshakeType == kHelloKindClient || state.handshakeType == kHelloKindServer) {
        state.helloKind = state.handshakeType;
    }

    if (state.contentType == kContentTypeHandshake && state.versionMajor == 3) {
        if (state.handshakeType == kHelloKindClient) return ParseClientHello(state, data, available, needMore, host);
        if (state.handshakeType == kHelloKindServer) return ParseServerHello(state, data, available, fault);
    }
    if (state.contentType == kContentTypeAlert) return true;
    // Only a TLS record's length says whether bytes are missing; other
    // protocols must not be held waiting for a length that means nothing.
    needMore = false;
    return ParseSsl2Hello(state, data);
}

}  // namespace hbt
