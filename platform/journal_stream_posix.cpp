#include "platform/journal_stream.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

namespace hbt {

bool StreamIsJournal(int fd) {
    // systemd sets "DEVICE:INODE" of the stream it connected; a child whose
    // output went elsewhere inherits the variable, hence the comparison.
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat status {};
    if (stream == nullptr || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2 || ::fstat(fd, &status) != 0) {
        return false;
    }
    return status.st_dev == device && status.st_ino == inode;
}

}  // namespace hbt
