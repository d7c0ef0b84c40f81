#include "ui/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>

namespace hbt {

namespace {

constexpr char kShowPreferencesRequest[] = "showprefwnd\n";
constexpr int kConnectWaitMs = 2000;
constexpr int kAnswerWaitMs = 10000;

int OpenLockFile(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        // Readable by all whatever the umask, so that every user's start sees the lock.
        ::fchmod(fd, 0644);
        return fd;
    }
    return ::open(name.constData(), O_RDONLY | O_CLOEXEC);
}

}  // namespace

QString DispatcherServerPath() {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + "/" + kDispatcherServerName;
}

RunningInstance AskRunningInstanceToShow(const QString& serverPath) {
    QLocalSocket socket;
    socket.connectToServer(serverPath);
    if (!socket.waitForConnected(kConnectWaitMs)) return RunningInstance::None;
    socket.write(kShowPreferencesRequest);
    socket.flush();
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(kAnswerWaitMs)) return RunningInstance::Refused;
    }
    char answer = 0;
    socket.getChar(&answer);
    return answer == 1 ? RunningInstance::Shown : RunningInstance::Refused;
}

MachineLock::~MachineLock() {
    if (fd_ >= 0) ::close(fd_);
}

QString MachineLock::DefaultPath() {
    const QByteArray chosen = qgetenv("HBT_RUNNING_LOCK");
    if (!chosen.isEmpty()) return QString::fromLocal8Bit(chosen);
    if (QFileInfo(QStringLiteral("/run/lock")).isWritable() || QFile::exists("/run/lock/HarbinetRunning")) {
        return QStringLiteral("/run/lock/HarbinetRunning");
    }
    return QDir::tempPath() + "/HarbinetRunning";
}

bool MachineLock::Acquire(const QString& path) {
    const int fd = OpenLockFile(path);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

InstanceServer::InstanceServer(std::function<bool()> showPreferences, QObject* parent)
    : QObject(parent), showPreferences_(std::move(showPreferences)) {
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) return;
                socket->readAll();
                const char answer = showPreferences_() ? 1 : 0;
                socket->write(&answer, 1);
                socket->flush();
            });
        }
    });
}

bool InstanceServer::Listen(const QString& serverPath) {
    QDir().mkpath(QFileInfo(serverPath).path());
    QLocalServer::removeServer(serverPath);
    return server_.listen(serverPath);
}

}  // namespace hbt
