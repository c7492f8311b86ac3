#pragma once
// The one seam through which the plugin speaks HTTP. Everything else builds requests and reads
// responses as plain values; only this layer touches libcurl.
//
// Rules every transfer follows:
//  - only absolute http and https URLs with a host are sent; anything else fails before libcurl
//    sees it, opening no connection and no file;
//  - no redirect is followed (a 3xx is a status whose body is read like any other);
//  - TLS peers are always verified; GALVORIA_CA_BUNDLE may name an extra CA file, which must be a
//    regular file (anything else fails an https transfer before it connects);
//  - a connection attempt gives up after connectTimeout, a transfer that moves less than 1 KiB per
//    second for stallTimeout is aborted; there is no cap on the total time;
//  - connections are kept alive per Role; a POST goes out only on a connection idle for less than
//    3 s (common servers close idle ones after 5 s), else on a new one;
//  - a request is sent at most once: when a kept-alive connection dies after any byte of the request
//    was written and before any byte of the answer, the transfer fails and nothing is sent again
//    (the service may have applied it). Only when the connection is found dead before a byte of the
//    request was written does the request go out, once, on a fresh connection;
//  - a response body larger than maxResponseBytes ends the transfer as a failure;
//  - no "Expect: 100-continue" wait;
//  - failures never throw: they come back as a Response with status 0 and a transportError.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace galvoria::http {

struct Header {
    std::string name;
    std::string value;
};

// A request body produced piece by piece while it is sent, with its size known up front (it goes
// out with a Content-Length, never chunked). read() fills at most `capacity` bytes and returns how
// many it wrote; 0 before `size` bytes were produced, or an error, aborts the transfer.
struct BodySource {
    std::uint64_t size = 0;
    std::function<std::optional<std::size_t>(char* buffer, std::size_t capacity)> read;
};

struct Request {
    std::string method = "GET";  // "GET" or "POST"
    std::string url;
    std::vector<Header> headers;  // sent in this order, after nothing of ours
    std::string body;             // sent as it is when no bodySource is given
    std::optional<BodySource> bodySource;
};

struct Response {
    long status = 0;  // 0 when no HTTP response arrived
    std::vector<Header> headers;
    std::string body;
    std::optional<std::string> transportError;  // set exactly when the transfer failed

    [[nodiscard]] bool ok() const { return !transportError.has_value(); }
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const;  // case-insensitive
};

// Upload progress: bytes of the request body sent so far and its total size.
using Progress = std::function<void(std::uint64_t sent, std::uint64_t total)>;
using Completion = std::function<void(Response)>;

// Which reusable connection set a transfer uses; requests of one role share kept-alive connections.
enum class Role { service, storage };

struct SessionOptions {
    std::chrono::seconds connectTimeout{15};
    std::chrono::seconds stallTimeout{60};
    std::size_t maxResponseBytes = 16U * 1024U * 1024U;
    std::size_t uploadBufferBytes = 2U * 1024U * 1024U;
    std::optional<std::string> caBundle;  // extra CA file (from GALVORIA_CA_BUNDLE)

    // The defaults, with GALVORIA_CA_BUNDLE taken from the environment. Test builds (configured with
    // GALVORIA_TEST_TIMEOUT_KNOBS) also take GALVORIA_CONNECT_TIMEOUT_SECONDS and
    // GALVORIA_STALL_TIMEOUT_SECONDS from it; the product ignores them.
    static SessionOptions fromEnvironment();
};

// True for an absolute http or https URL (scheme compared without regard to case) with a host.
bool isHttpUrl(std::string_view url);

// Runs transfers one at a time on a thread of its own, like a URL session's delegate queue. Both
// performing calls may be made from any thread, the main thread included for send().
class Session {
public:
    explicit Session(SessionOptions options = SessionOptions::fromEnvironment());
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The process-wide session of the plugin.
    static Session& shared();

    // Queues the transfer and returns at once. `progress` and `completion` run on the session's
    // thread; callers post to the main queue from there.
    void send(Role role, Request request, Progress progress, Completion completion);
    // Runs the transfer and returns its response; blocks the calling thread.
    Response perform(Role role, Request request, Progress progress = {});

    [[nodiscard]] const SessionOptions& options() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace galvoria::http
