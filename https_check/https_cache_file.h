#pragma once
// The file https_cache.xml that keeps the yes/no answers of the HTTPS check
// between program runs, with the protocol version and cipher suite that the
// handshake negotiated (decimal wire codes; left out when none was):
//   <?xml version="1.0"?>
//   <Cache>
//       <Hosts>
//           <Host Name="checked/requested" HTTPS="1" TLSVersion="771" CipherSuite="49199"/>
//       </Hosts>
//   </Cache>
// A file written before the two attributes existed loads with both 0.
#include <cstdint>
#include <map>
#include <string>

namespace hbt {

struct CachedHttpsAnswer {
    bool available = false;
    uint16_t tlsVersion = 0;
    uint16_t cipherSuite = 0;
    bool operator==(const CachedHttpsAnswer&) const = default;
};

// cache key ("checked host/requested host") -> answer
using HttpsCacheAnswers = std::map<std::string, CachedHttpsAnswer>;

// The Harbinet folder of the user's documents folder + "/https_cache.xml".
std::string DefaultHttpsCachePath();

// The file's text for the answers, in key order, lines ended by CR LF.
std::string SerializeHttpsCache(const HttpsCacheAnswers& answers);
// Reads the answers of a document. False when the text is not XML; a
// document without the expected elements parses to no answers.
bool ParseHttpsCache(const std::string& text, HttpsCacheAnswers& answers);

// False when the file is missing, unreadable or not XML.
bool LoadHttpsCacheFile(const std::string& path, HttpsCacheAnswers& answers);
// Writes path + ".new" and moves it over path, so a reader never sees half a
// file. False when the ".new" file cannot be written.
bool SaveHttpsCacheFile(const std::string& path, const HttpsCacheAnswers& answers);

}  // namespace hbt
