#include "https_check/https_cache_file.h"

#include <fcntl.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/known_folders.h"

namespace hbt {
namespace {

std::string ParentFolder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// A version or suite attribute; 0 when missing or not a 16-bit number.
uint16_t WireCode(const char* text) {
    if (text == nullptr) return 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return *end == '\0' && value <= 0xFFFF ? static_cast<uint16_t>(value) : 0;
}

}  // namespace

std::string DefaultHttpsCachePath() { return DocumentsFolder() + "/Harbinet/https_cache.xml"; }

std::string SerializeHttpsCache(const HttpsCacheAnswers& answers) {
    tinyxml2::XMLDocument document;
    document.InsertEndChild(document.NewDeclaration("xml version=\"1.0\""));
    tinyxml2::XMLElement* cache = document.NewElement("Cache");
    document.InsertEndChild(cache);
    tinyxml2::XMLElement* hosts = cache->InsertNewChildElement("Hosts");
    for (const auto& [key, answer] : answers) {
        tinyxml2::XMLElement* host = hosts->InsertNewChildElement("Host");
        host->SetAttribute("Name", key.c_str());
        host->SetAttribute("HTTPS", answer.available ? "1" : "0");
        if (answer.tlsVersion != 0) {
            host->SetAttribute("TLSVersion", static_cast<unsigned>(answer.tlsVersion));
            host->SetAttribute("CipherSuite", static_cast<unsigned>(answer.cipherSuite));
        }
    }
    tinyxml2::XMLPrinter printer(nullptr, false);
    document.Print(&printer);
    // Written as a text file of the Windows build would be: every line
    // break is a carriage return and a line feed, so the file reads the same
    // wherever it was made.
    std::string text;
    for (const char* c = printer.CStr(); *c != '\0'; ++c) {
        if (*c == '\n') text += '\r';
        text += *c;
    }
    return text;
}

bool ParseHttpsCache(const std::string& text, HttpsCacheAnswers& answers) {
    tinyxml2::XMLDocument document;
    if (document.Parse(text.c_str(), text.size()) != tinyxml2::XML_SUCCESS) return false;
    const tinyxml2::XMLElement* root = document.FirstChildElement();
    const tinyxml2::XMLElement* hosts = root == nullptr ? nullptr : root->FirstChildElement("Hosts");
    const tinyxml2::XMLElement* host = hosts == nullptr ? nullptr : hosts->FirstChildElement("Host");
    // After the first Host every following element counts, whatever its name.
    for (; host != nullptr; host = host->NextSiblingElement()) {
        const char* name = host->Attribute("Name");
        const char* https = host->Attribute("HTTPS");
        if (name == nullptr || https == nullptr) continue;
        // A suite means something only with the version it was negotiated in;
        // the file is written with both or neither.
        const uint16_t version = WireCode(host->Attribute("TLSVersion"));
        const uint16_t suite = version == 0 ? 0 : WireCode(host->Attribute("CipherSuite"));
        answers[name] = {std::strtol(https, nullptr, 10) != 0, version, suite};
    }
    return true;
}

bool LoadHttpsCacheFile(const std::string& path, HttpsCacheAnswers& answers) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) return false;
    return ParseHttpsCache(content.str(), answers);
}

bool SaveHttpsCacheFile(const std::string& path, const HttpsCacheAnswers& answers) {
    const std::string folder = ParentFolder(path);
    if (!folder.empty()) CreateFolders(folder);
    const std::string temporary = path + ".new";
    const std::string text = SerializeHttpsCache(answers);
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) return false;
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    const bool complete = written == text.size() && fsync(fd) == 0;
    close(fd);
    if (!complete) {
        unlink(temporary.c_str());
        return false;
    }
    // The move's outcome is not looked at: the next save tries again anyway.
    std::rename(temporary.c_str(), path.c_str());
    return true;
}

}  // namespace hbt
