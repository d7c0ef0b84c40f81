#pragma once
// Files that several writers share and that readers must never see half
// written: the whole text goes to a temporary file beside the target, is made
// durable and then renamed over it; writers that read, change and write such a
// file hold an advisory lock on "<file>.lock" meanwhile.
#include <cstdint>
#include <optional>
#include <string>

namespace hbt {

// Replaces path's contents with text atomically, creating missing folders.
// False when the temporary file cannot be written or renamed.
bool ReplaceFileContents(const std::string& path, const std::string& text);

// The whole file; nullopt when it cannot be read. An absent file reads as
// empty when `absentIsEmpty` is set.
std::optional<std::string> ReadFileContents(const std::string& path, bool absentIsEmpty);

// What tells one version of a file from another without reading it.
struct FileStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedNs = 0;
    bool operator==(const FileStamp&) const = default;
};
// nullopt when the file does not exist or cannot be looked at.
std::optional<FileStamp> StampOf(const std::string& path);

// Exclusive lock on path + ".lock" for as long as the object lives.
class FileWriterLock {
public:
    explicit FileWriterLock(const std::string& path);
    ~FileWriterLock();
    FileWriterLock(const FileWriterLock&) = delete;
    FileWriterLock& operator=(const FileWriterLock&) = delete;

    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace hbt
