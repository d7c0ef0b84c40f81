// The worker side of one HTTPS check: its steps, in order, each publishing a
// provisional message to a waiting caller and then its final one.
#include <sys/socket.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>

#include "hsts/hsts_host.h"
#include "hsts/sts_header.h"
#include "https_check/check_response_head.h"
#include "https_check/https_check_job.h"
#include "https_check/https_checker.h"
#include "https_check/proxy_reply_reader.h"
#include "https_check/ssl_socket.h"
#include "log/log.h"
#include "platform/socket_address.h"
#include "platform/socket_error.h"

namespace hbt {
namespace {

// One generator for the process, seeded once from the system's random source.
uint64_t RandomPathNumber() {
    static std::mutex mutex;
    static std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<uint64_t> topBitSet(uint64_t{1} << 63, UINT64_MAX);
    std::lock_guard guard(mutex);
    return topBitSet(generator);
}

std::string ResponseCheckRequest(const std::string& host) {
    std::string path = "/";
    if (CHttpsChecker::IsRandomPathHost(host)) {
        char digits[17];
        std::snprintf(digits, sizeof(digits), "%016" PRIx64, RandomPathNumber());
        path += digits;
    }
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

bool IsIpv4Embedded(const SocketAddressSlot& address) {
    if (!address.IsIpv6()) return false;
    const auto bytes = address.Ipv6Address();
    for (int i = 0; i < 10; ++i) {
        if (bytes[i] != 0) return false;
    }
    const bool mapped = bytes[10] == 0xff && bytes[11] == 0xff;
    const bool compatible = bytes[10] == 0 && bytes[11] == 0 && (bytes[12] | bytes[13] | bytes[14] | bytes[15]) > 1;
    return mapped || compatible;
}

}  // namespace

class HttpsCheckRun {
public:
    HttpsCheckRun(CHttpsChecker& checker, HttpsCheckJob& job) : checker_(checker), job_(job) {}

    void Run() {
        CLog(kLogVerbose, job_.processId, job_.applicationPath.c_str())
            << LogUrl{"hbturl", job_.checkedHost, "", "", 0} << " - checking HTTPS availability.";
        // The worker counts as running from here, so that the shutdown also
        // waits for one that is still looking its host up.
        socket_ = std::make_shared<CSslSocket>();
        token_ = checker_.RegisterRunningCheck(socket_);
        if (!token_) return;  // shutting down: no log, no store
        address_ = job_.destination;
        if (!job_.viaProxy && (address_.IsIpv4() || address_.IsIpv6())) address_.SetPort(checker_.options_.httpsPort);
        if (job_.resolveByName && !job_.viaProxy && !ResolveStep()) return End();
        if (ConnectStep() && (!job_.viaProxy || ProxyStep()) && HandshakeStep() && CertificateStep()) {
            ResponseStep();
        }
        End();
    }

private:
    void Begin(const std::string& provisionalText) {
        job_.deadline = TickCount() + job_.stepTimeout;
        checker_.UpdateThreadResult(job_, own_, CheckMessage{false, false, provisionalText});
    }

    bool Finish(bool ok, const std::string& text) {
        own_.messages.push_back({true, ok, text});
        own_.checkTime = checker_.Now();
        checker_.UpdateThreadResult(job_, own_, std::nullopt);
        return ok;
    }

    bool ResolveStep() {
        const std::string m = "Failed to resolve " + job_.checkedHost;
        Begin(m + " - timeout");
        const int family = job_.destination.IsIpv4() || IsIpv4Embedded(job_.destination) ? AF_INET : AF_INET6;
        SocketAddressSlot found;
        int error = 0;
        if (!checker_.Resolve(job_.checkedHost, family, found, error)) {
            return Finish(false, m + " - getaddrinfo error " + std::to_string(error));
        }
        if (!found.IsIpv4() && !found.IsIpv6()) return Finish(false, m + " - unknown address type");
        found.SetPort(checker_.options_.httpsPort);
        address_ = found;
        return Finish(true, job_.checkedHost + " resolved as " + SocketAddressText(address_));
    }

    bool ConnectStep() {
        const std::string m = "Connection to " + SocketAddressText(address_) + (job_.viaProxy ? " (proxy)" : "");
        Begin(m + " failed - timeout");
        const auto native = ToNative(address_);
        if (!native || !socket_->Create(native->get()->sa_family)) return Finish(false, m + " failed with internal error");
        socket_->SetIoTimeout(checker_.options_.workerIoTimeoutMs);
        if (connect(socket_->Handle(), native->get(), native->length) != 0) {
            // A connect that outlives the socket's time limit reports "in progress".
            const int error = errno == EINPROGRESS ? kWsaTimedOut : LastSocketError();
            return Finish(false, m + " failed with error " + std::to_string(error));
        }
        return Finish(true, m + " established");
    }

    bool ProxyStep() {
        const std::string m = "Connection through proxy";
        Begin(m + " failed - timeout");
        const std::string target = job_.checkedHost + ":443";
        const std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
        if (!socket_->SendRaw(request.data(), request.size())) {
            return Finish(false, m + " failed - cannot send request to proxy");
        }
        const ProxyReply reply = ReadProxyReply(*socket_);
        if (!reply.ok) return Finish(false, m + " failed. " + reply.errorText);
        if (reply.status != 200) {
            return Finish(false, m + " failed. Proxy server cannot establish a connection with the target, status code" +
                                     std::to_string(reply.status));
        }
        return Finish(true, m + " established");
    }

    bool HandshakeStep() {
        const std::string m = "SSL handshake";
        Begin(m + " failed - timeout");
        int error = 0;
        if (socket_->Handshake(job_.checkedHost, error)) {
            own_.tlsVersion = socket_->NegotiatedVersion();
            own_.cipherSuite = socket_->NegotiatedCipherSuite();
            return Finish(true, m + " succeeded");
        }
        return Finish(false, m + " failed with error code " + std::to_string(error));
    }

    bool CertificateStep() {
        const std::string m = "Check SSL certificate";
        Begin(m + " failed - timeout");
        std::string reason;
        if (socket_->VerifyCertificate(job_.checkedHost, &reason)) return Finish(true, m + " succeeded");
        return Finish(false, m + " failed (" + reason + ")");
    }

    bool SendRequest(const std::string& request) {
        if (socket_->IsClosed() || socket_->Handle() == -1) return false;
        std::size_t sent = 0;
        while (sent < request.size()) {
            const long taken = socket_->Send(request.data() + sent, request.size() - sent);
            if (taken <= 0) return false;
            sent += static_cast<std::size_t>(taken);
        }
        return true;
    }

    bool ResponseStep() {
        const std::string m = "HTTP response check";
        Begin(m + " failed - timeout");
        if (!SendRequest(ResponseCheckRequest(job_.checkedHost))) return Finish(false, m + " failed - could not send request");
        std::string head(12, '\0');
        if (!socket_->ReceiveExact(head.data(), head.size())) return Finish(false, m + " failed - could not read response");
        ByteScan scan = ScanCheckResponseHead(head);
        // The rest of the head, one byte at a time; what a server that stops
        // early has sent is looked at all the same.
        char c;
        while (scan.NeedsMore() && socket_->Receive(&c, 1) == 1) {
            head += c;
            scan = ScanCheckResponseHead(head, head.size() - 1);
        }
        if (scan.IsMalformed()) return Finish(false, m + " failed - " + scan.fault);
        const std::string loop = DeadLoopIn(head, job_.checkedHost, job_.requestedHost);
        TakePromise(head, !loop.empty());
        if (!loop.empty()) return Finish(false, loop);
        return Finish(true, "no HTTP deadloop detected");
    }

    // The certificate step succeeded to get here. A site that sends the
    // browser back to plain http:// cannot be held to a promise of HTTPS, but
    // may always withdraw one.
    void TakePromise(std::string_view head, bool loop) {
        const std::optional<StsDirectives> promise = StsPromiseOf(head);
        if (!promise || !HstsHostKey(job_.checkedHost) || (loop && promise->maxAge != 0)) return;
        own_.stsPromise = promise;
    }

    void End() {
        const bool available = !own_.messages.empty() && own_.messages.back().ok;
        if (available) {
            own_.available = true;
            job_.deadline = TickCount() + job_.stepTimeout;
        }
        CLog line(kLogVerbose, job_.processId, job_.applicationPath.c_str());
        line << LogUrl{"hbturl", job_.checkedHost, "", "", 0} << " - HTTPS ";
        if (available) {
            line << "is available";
        } else {
            line << "is not available (" << (own_.messages.empty() ? "" : own_.messages.back().text) << ")";
        }
        if (own_.stsPromise) checker_.KeepPromise(job_, *own_.stsPromise);
        checker_.StoreResult(own_, job_.checkedHost, job_.requestedHost);
        checker_.UnregisterRunningCheck(socket_.get());
    }

    CHttpsChecker& checker_;
    HttpsCheckJob& job_;
    HttpsCheckResult own_;
    SocketAddressSlot address_;
    std::shared_ptr<CSslSocket> socket_;
    std::shared_ptr<int> token_;
};

void CHttpsChecker::RunCheck(const std::shared_ptr<HttpsCheckJob>& job) {
    {
        HttpsCheckRun run(*this, *job);
        run.Run();
    }
    EndCheckInFlight(*job);
    // Hand-over: the job is shared, so the caller and the callers that joined
    // it may still read it after this worker has gone.
    std::lock_guard guard(job->lock);
    job->done = true;
    job->wakeUp.notify_all();
}

}  // namespace hbt
