#pragma once
// Whether a standard stream goes to the systemd journal, which stamps every
// line with its own time.

namespace hbt {

// True when $JOURNAL_STREAM names the device and inode of descriptor `fd`.
bool StreamIsJournal(int fd);

}  // namespace hbt
