#pragma once
// DeviceSocketServer: the engine's control device on a Unix-domain socket.
// One client at a time holds the device; others, and peers whose uid is not
// allowed, get an access-denied hello and are disconnected.
#include <sys/types.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace hbt {

class NfeEngine;
class DeviceSocketConnection;

struct DeviceSocketServerOptions {
    std::string path;
    std::vector<uid_t> allowedUids;
};

class DeviceSocketServer {
public:
    DeviceSocketServer(NfeEngine& engine, DeviceSocketServerOptions options);
    ~DeviceSocketServer();
    DeviceSocketServer(const DeviceSocketServer&) = delete;
    DeviceSocketServer& operator=(const DeviceSocketServer&) = delete;

    // Binds the socket (replacing a stale one) and starts accepting.
    bool Start(std::string& error);
    // Stops accepting, drops the client (which stops the engine) and removes the socket.
    void Stop();

private:
    bool Bind(std::string& error);
    void AcceptLoop();
    void Serve(int fd);
    bool PeerAllowed(int fd) const;
    void ReapClient();

    NfeEngine& engine_;
    DeviceSocketServerOptions options_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::thread acceptThread_;
    std::shared_ptr<DeviceSocketConnection> client_;  // accept thread only
};

}  // namespace hbt
