#pragma once
// One instance per computer: a local server in the user's runtime folder that
// a second start asks to show the main dialog, and a machine-wide lock file
// that shows another user's running instance.
#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

namespace hbt {

inline constexpr char kDispatcherServerName[] = "HarbinetDispatcher";

// The running instance's answer to a second start.
enum class RunningInstance { None, Shown, Refused };

// The server's full name: HarbinetDispatcher in the user's runtime folder.
QString DispatcherServerPath();
// Connects to a running instance and asks it to show its main dialog.
RunningInstance AskRunningInstanceToShow(const QString& serverPath);

// The exclusive lock on /run/lock/HarbinetRunning (or, where that cannot be
// created, the same name in the temporary folder); HBT_RUNNING_LOCK names
// another file. Held until the object goes.
class MachineLock {
public:
    MachineLock() = default;
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;
    ~MachineLock();

    static QString DefaultPath();
    // False when another process holds it, or the file cannot be opened at all.
    bool Acquire(const QString& path);

private:
    int fd_ = -1;
};

// Answers each connection's request with one byte: 1 when the dialog was shown.
class InstanceServer : public QObject {
    Q_OBJECT
public:
    explicit InstanceServer(std::function<bool()> showPreferences, QObject* parent = nullptr);
    // Replaces a socket file left by an instance that ended without removing it.
    bool Listen(const QString& serverPath);

private:
    std::function<bool()> showPreferences_;
    QLocalServer server_;
};

}  // namespace hbt
