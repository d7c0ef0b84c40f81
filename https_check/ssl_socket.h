#pragma once
// CSslSocket: the small TLS client of the HTTPS availability check. It owns
// one TCP socket; the caller connects it, may talk to a proxy on the raw
// handle, then runs the handshake with the server name, verifies the
// certificate as a separate step and exchanges application data in records.
// One thread uses an object; Shutdown() may come from another thread to end
// a blocked read.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace hbt {

// Handshake error codes that are not socket errors. TLS failures carry the
// status values of the Windows TLS provider so that messages read the same on
// every platform (the full mapping is in ssl_socket_openssl.cpp).
inline constexpr int kSslPeerClosedDuringHandshake = 240;
inline constexpr int kSslClientCertificateRequested = 590624;              // SEC_I_INCOMPLETE_CREDENTIALS
inline constexpr int kSecInvalidToken = static_cast<int>(0x80090308u);     // answer is not TLS
inline constexpr int kSecInternalError = static_cast<int>(0x80090304u);
inline constexpr int kSecIllegalMessage = static_cast<int>(0x80090326u);
inline constexpr int kSecAlgorithmMismatch = static_cast<int>(0x80090331u);
inline constexpr int kSecUnsupportedFunction = static_cast<int>(0x80090302u);
inline constexpr int kSecDecryptFailure = static_cast<int>(0x80090330u);
inline constexpr int kSecWrongPrincipal = static_cast<int>(0x80090322u);
inline constexpr int kSecContextExpired = static_cast<int>(0x80090317u);

class CSslSocket {
public:
    CSslSocket();
    ~CSslSocket();
    CSslSocket(const CSslSocket&) = delete;
    CSslSocket& operator=(const CSslSocket&) = delete;

    // Opens a TCP socket of the family (AF_INET or AF_INET6) and prepares the
    // TLS client. False when the object was already closed or on failure.
    bool Create(int addressFamily);
    // The socket for the caller's own connect; -1 when there is none.
    int Handle() const;
    bool IsClosed() const;
    // Time limit of each send and receive (and of connect) on the socket, so
    // a check of a silent server ends on its own; 0 means none.
    void SetIoTimeout(unsigned milliseconds);

    // Raw traffic before TLS (proxy CONNECT). SendRaw sends everything or
    // returns false; ReceiveRaw returns the bytes read, 0 at end, -1 on error.
    bool SendRaw(const void* data, std::size_t length);
    long ReceiveRaw(void* buffer, std::size_t length);

    // Client handshake with the host as server name (none when empty). On
    // failure errorCode holds 240 (peer closed), a WinSock number, 590624
    // (client certificate asked for) or a TLS status value.
    bool Handshake(const std::string& host, int& errorCode);
    // Chain to the system trust store for server authentication, the host
    // name, and a stapled OCSP answer when the server sent one. An empty host
    // passes without a check. On failure reason holds a short description.
    bool VerifyCertificate(const std::string& host, std::string* reason = nullptr);

    // Sends at most one record of the data; returns the bytes taken, 0 for
    // length 0, -1 on failure.
    long Send(const void* data, std::size_t length);
    // Bytes delivered, 0 when the server ended the TLS connection, -1 on failure.
    long Receive(void* buffer, std::size_t length);
    // Exactly length bytes, tolerating one empty read in a row.
    bool ReceiveExact(void* buffer, std::size_t length);
    // Sends the close notification when no read is in progress, then shuts
    // the connection down so a blocked read returns. -1 when already closed.
    int Shutdown();

    // Status of the last failed Send or Receive (TLS status or WinSock number).
    int LastError() const;

    // What the last successful handshake agreed on, as wire codes (0x0303
    // TLS 1.2; the suite's two bytes); 0 before one.
    uint16_t NegotiatedVersion() const;
    uint16_t NegotiatedCipherSuite() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace hbt
