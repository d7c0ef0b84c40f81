#pragma once
// The end-to-end topology: a server and a client network namespace joined by
// a veth pair (server 192.0.2.1 / 2001:db8::1, client 192.0.2.2 / 2001:db8::2).
// Names are unique per test; the destructor removes both namespaces (and so
// every rule, connection-tracking entry and interface inside them), also when
// the test failed.
#include <functional>
#include <string>

namespace hbt::e2e {

class NetnsPair {
public:
    NetnsPair() = default;
    ~NetnsPair();
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    // False with the reason when the machine does not let us (no root, no
    // namespaces); the test then skips.
    bool Create(std::string* reason);

    const std::string& Client() const { return client_; }
    const std::string& Server() const { return server_; }

private:
    std::string client_;
    std::string server_;
};

// Runs `body` on the calling thread inside the named namespace; sockets made
// there stay in it, threads started there start in it. False when the
// namespace could not be entered.
bool RunInNamespace(const std::string& name, const std::function<void()>& body);

// Enters the namespace for the life of the object (this thread only).
class NamespaceScope {
public:
    explicit NamespaceScope(const std::string& name);
    ~NamespaceScope();
    NamespaceScope(const NamespaceScope&) = delete;
    NamespaceScope& operator=(const NamespaceScope&) = delete;
    bool Ok() const { return ok_; }

private:
    int original_ = -1;
    bool ok_ = false;
};

}  // namespace hbt::e2e
