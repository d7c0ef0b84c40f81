#pragma once
// Reads the first record of one direction of an inspected flow: TLS records
// (alerts and handshakes), the ClientHello and ServerHello inside a handshake
// record, and the old SSL 2 hellos with two- and three-byte headers. Nothing is
// decrypted or reassembled; only the bounds that reading needs are checked.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tls_inspect/tls_record_state.h"

namespace hbt {

enum class ParseFault {
    kNone,
    kSessionIdLengthIncorrect,  // a ServerHello with a session id longer than 32 bytes
};

// Parses one record from `data` into `state`. `available` is the number of
// bytes at `data`; when the record is complete it is cut down to the record
// (header included). Returns true when the record was recognised (an alert
// included). `needMore` is set when a TLS record is longer than what is
// available: false plus `needMore` means "wait for more bytes", false without
// it means the bytes cannot be judged. A server name found in a ClientHello
// replaces `host`. `fault` says why a ServerHello was refused when the caller
// has to report it.
bool ParseHttpsHeader(TlsRecordState& state, const uint8_t* data, std::size_t& available, bool& needMore,
                      std::string& host, ParseFault& fault);

}  // namespace hbt
