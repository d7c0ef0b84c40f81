#pragma once
// Real hellos for the tests: an OpenSSL client and server talk through memory
// BIOs, and the first flight of each side is captured as bytes.
#include <cstdint>
#include <string>
#include <vector>

namespace hbt::test {

using Bytes = std::vector<uint8_t>;

struct HelloOptions {
    int minVersion = 0;  // TLS1_VERSION …; 0 leaves OpenSSL's default
    int maxVersion = 0;
    std::string serverName;  // sent as SNI when not empty
    std::string cipherList;  // TLS 1.2 and older suites the client offers; empty keeps the default
};

struct CapturedHellos {
    Bytes clientFlight;  // what the client sends first: its ClientHello record
    Bytes serverFlight;  // the server's whole answer, starting with its ServerHello record
    uint16_t version = 0;      // what the server negotiated
    uint16_t cipherSuite = 0;  // the suite the server chose
};

// Runs one handshake up to the server's first flight. Aborts the test binary
// with a message when OpenSSL fails, since every caller needs the bytes.
CapturedHellos CaptureHellos(const HelloOptions& options);

// The first record of a flight (header included).
Bytes FirstRecord(const Bytes& flight);

}  // namespace hbt::test
