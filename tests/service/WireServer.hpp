#pragma once
// A loopback HTTP/1.1 listener that records requests byte for byte (header order, framing) and
// answers each with whatever raw text the test's responder returns. Keeps connections alive.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace galvoria::testing {

struct WireRequest {
    std::string head;  // request line and header lines, CRLF-separated, without the blank line
    std::string body;
    [[nodiscard]] std::vector<std::string> headerLines() const;
};

class WireServer {
public:
    // The raw response to send, or nothing to hold the connection without answering.
    using Responder = std::function<std::optional<std::string>(const WireRequest&)>;

    explicit WireServer(Responder responder);
    ~WireServer();
    WireServer(const WireServer&) = delete;
    WireServer& operator=(const WireServer&) = delete;

    [[nodiscard]] std::string url(const std::string& path) const;
    [[nodiscard]] std::uint16_t port() const { return port_; }
    [[nodiscard]] std::vector<WireRequest> requests() const;
    [[nodiscard]] int connections() const { return connections_; }

    // A response with a Content-Length and the given extra header lines.
    static std::string response(int status, const std::string& body, const std::vector<std::string>& headers = {});

private:
    void serve(int connection);

    Responder responder_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<WireRequest> requests_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

}  // namespace galvoria::testing
