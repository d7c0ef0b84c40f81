#pragma once
// What the parser learned from the first record of one direction of a flow.
#include <array>
#include <cstdint>
#include <vector>

namespace hbt {

// Versions are the 16-bit wire codes: 0x0200 SSL 2, 0x0300 SSL 3, 0x0301 to
// 0x0304 TLS 1.0 to 1.3, 0x7Fnn TLS 1.3 draft nn.

inline constexpr uint8_t kContentTypeAlert = 21;
inline constexpr uint8_t kContentTypeHandshake = 22;

// Alert descriptions.
inline constexpr uint8_t kAlertHandshakeFailure = 40;
inline constexpr uint8_t kAlertProtocolVersion = 70;

inline constexpr uint32_t kHelloKindClient = 1;
inline constexpr uint32_t kHelloKindServer = 2;

struct TlsRecordState {
    uint8_t contentType = 0;   // 22 also for SSL 2 hellos
    uint8_t versionMajor = 0;  // record layer; 2 for SSL 2 hellos
    uint8_t versionMinor = 0;
    std::vector<uint16_t> versions;  // offered (client) or chosen (server), in the order found
    uint32_t recordLength = 0;
    uint8_t handshakeType = 0;  // byte 5, or the SSL 2 message type
    uint32_t helloKind = 0;     // kHelloKindClient, kHelloKindServer or 0
    uint32_t handshakeLength = 0;
    std::array<uint8_t, 2> helloVersion{};  // major, minor
    std::array<uint8_t, 32> random{};
    uint8_t sessionIdLength = 0;
    std::array<uint8_t, 32> sessionId{};    // server hello only
    std::array<uint8_t, 2> cipherSuite{};   // server hello's choice, high byte first
    uint16_t cipherSuitesLength = 0;        // client hello only
    uint8_t compressionMethodsLength = 0;   // client hello only
    uint16_t extensionsLength = 0;          // client hello only

    uint16_t CipherSuiteCode() const { return static_cast<uint16_t>(cipherSuite[0] << 8 | cipherSuite[1]); }
};

}  // namespace hbt
