#pragma once
// The HTTP front of the service: cpp-httplib's request parsing and routing, over connections that
// the front runs itself. Running the connection lets the service
//  - see each request head exactly as it arrived (header names, values and their order on the wire;
//    the library itself keeps headers sorted by name and percent-decodes their values),
//  - observe every body byte the handlers read,
//  - close a connection at once from inside a handler, or after the response,
//  - stop promptly: idle, reading and writing connections notice the stop within a tenth of a second,
//  - speak TLS (OpenSSL) on the same connections, and hold response heads back to emulate a slow link.

#include <httplib.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace galvoria::devserver {

struct RequestHead {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // in wire order, values without surrounding blanks

    // The first header of that name (case ignored).
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
    // The target up to its query.
    [[nodiscard]] std::string_view path() const;
};

// What the hooks keep about one connection across its requests.
struct ConnectionInfo {
    bool counted = false;
    std::uint64_t requests = 0;  // request heads seen on it, the current one included
};

// Sees the body bytes of one request as the handlers read them.
using BodyObserver = std::function<void(const char* data, std::size_t length)>;

struct FrontHooks {
    // Called when a request head is complete, before the library parses it.
    std::function<BodyObserver(const RequestHead& head, ConnectionInfo& connection)> onRequestHead;
    // Called when a TLS handshake completes; `resumed`: it resumed an earlier session.
    std::function<void(bool resumed)> onTlsHandshake;
};

class HttpFront : public httplib::Server {
public:
    explicit HttpFront(FrontHooks hooks);

    // Serves TLS on every connection from here on with this certificate chain and key (PEM files);
    // false, with the reason in `error`, when they cannot be loaded or do not match.
    bool useTls(const std::string& certificateChain, const std::string& privateKey, std::string& error);
    [[nodiscard]] bool servesTls() const { return tlsContext_ != nullptr; }
    // Every response head waits this long before it is sent.
    void setResponseLatency(std::chrono::milliseconds latency) { responseLatency_ = latency; }

    // Lets more connections wait for acceptance than the library's fixed backlog.
    void widenBacklog(int backlog);
    [[nodiscard]] bool stopping() const { return svr_sock_ == INVALID_SOCKET; }

    // For handlers, about the request they serve on the calling thread.
    static const RequestHead* currentHead();
    // Closes the connection at once; nothing more is sent on it.
    static void dropCurrentConnection();
    // The connection was closed by dropCurrentConnection().
    static bool currentConnectionDropped();
    // Closes the connection once the response has been sent.
    static void closeCurrentConnectionAfterResponse();
    // The peer has closed its side of the connection.
    static bool currentPeerClosed();
    // The connection served a request before the current one.
    static bool currentConnectionReused();
    // Reads the rest of the request body straight from the connection, in large pieces, for a handler
    // given a content reader. Only for a body with a Content-Length; false when the body ends early,
    // the receiver refuses a piece, or the body has no declared length.
    static bool readCurrentBody(const std::function<bool(const char* data, std::size_t length)>& receiver);
    // Just before a response head is written: reads and discards what the handlers left of the request
    // body, so the connection can carry the next request; when that cannot be (a chunked or very large
    // body, or a body the client holds back for "100 Continue"), the response announces
    // "Connection: close" and the connection closes after it.
    static void settleCurrentRequest(httplib::Response& response);

private:
    bool process_and_close_socket(socket_t sock) override;

    struct TlsContextFree {
        void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    };

    FrontHooks hooks_;
    std::unique_ptr<SSL_CTX, TlsContextFree> tlsContext_;
    std::chrono::milliseconds responseLatency_{0};
};

// A pool that grows a thread for every connection that finds no idle one, up to a limit, so that
// long-lived keep-alive connections do not starve new ones.
class GrowingThreadPool final : public httplib::TaskQueue {
public:
    explicit GrowingThreadPool(std::size_t maximumThreads);
    ~GrowingThreadPool() override;
    GrowingThreadPool(const GrowingThreadPool&) = delete;
    GrowingThreadPool& operator=(const GrowingThreadPool&) = delete;

    void enqueue(std::function<void()> job) override;
    void shutdown() override;

private:
    void work();

    std::size_t maximumThreads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;
    bool shuttingDown_ = false;
};

}  // namespace galvoria::devserver
