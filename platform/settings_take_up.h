#pragma once
// Telling the running program that its settings file was changed by another
// writer (hbtctl). The program listens on an abstract Unix socket named after
// its settings file, so a request reaches exactly the program that reads that
// file; it answers with its process id once it has taken the change up.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace hbt {

class SettingsTakeUpEndpoint {
public:
    SettingsTakeUpEndpoint() = default;
    SettingsTakeUpEndpoint(const SettingsTakeUpEndpoint&) = delete;
    SettingsTakeUpEndpoint& operator=(const SettingsTakeUpEndpoint&) = delete;
    ~SettingsTakeUpEndpoint();

    // Serves requests about `settingsPath` on a thread of its own, which
    // calls `takeUp` for each and answers when it has returned. Only the
    // program's own user and root are answered. False, with the reason in
    // `error`, when it cannot listen (another program reads the same file).
    bool Open(const std::string& settingsPath, std::function<void()> takeUp, std::string& error);
    // Stops serving; a request being served is finished first.
    void Close();

private:
    void Serve();
    void Answer(int fd);

    std::function<void()> takeUp_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};

struct TakeUpAnswer {
    enum class Kind {
        kNoProgram,  // no running program reads the file
        kTakenUp,    // the program with `pid` took the change up
        kNoAnswer,   // a program listens but did not answer in time
    };
    Kind kind = Kind::kNoProgram;
    pid_t pid = 0;
};

// Asks the program that reads `settingsPath` to take up its change, waiting
// at most `wait` for the answer.
TakeUpAnswer AskProgramToTakeUp(const std::string& settingsPath, std::chrono::milliseconds wait);

}  // namespace hbt
