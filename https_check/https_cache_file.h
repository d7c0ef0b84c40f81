#pragma once
// The file https_cache.xml that keeps the bare yes/no answers of the HTTPS
// check between program runs:
//   <?xml version="1.0"?>
//   <Cache>
//       <Hosts>
//           <Host Name="checked/requested" HTTPS="1"/>
//       </Hosts>
//   </Cache>
#include <map>
#include <string>

namespace hbt {

// cache key ("checked host/requested host") -> available
using HttpsCacheAnswers = std::map<std::string, bool>;

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
