#pragma once
// One accepted connection of the HTTP front: a buffered stream over the socket (in TLS when the
// front serves it) that remembers the head of the request being served and hands its body bytes to
// the request's observer. Waits happen in short slices, so that a stopping server is noticed.

#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devserver/HttpFront.hpp"
#include "devserver/TlsSession.hpp"
#include "platform/FileDescriptor.hpp"

namespace galvoria::devserver {

class Connection final : public httplib::Stream {
public:
    Connection(int fd, const HttpFront& front, const FrontHooks& hooks, std::chrono::seconds readTimeout,
               std::chrono::seconds writeTimeout, std::chrono::milliseconds responseLatency);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() override;

    // The server's side of a TLS handshake, within the read time-out; false when it fails.
    bool acceptTls(SSL_CTX* context);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* data, size_t size) override;
    ssize_t write(const char* data, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return fd_.get(); }

    // Hands the receiver the body straight out of the receive buffer.
    bool readBody(const std::function<bool(const char*, std::size_t)>& receiver);

    // Waits until the next request may start: buffered bytes, or the socket readable (which may also be
    // the peer closing). False when the keep-alive time passed or the server stops.
    bool waitForNextRequest(std::chrono::seconds keepAlive) const;
    void beginRequest();
    // True when the connection can carry another request.
    [[nodiscard]] bool endRequest();

    void drop();
    void closeAfterResponse() { closeAfterResponse_ = true; }
    [[nodiscard]] bool dropped() const { return dropped_; }
    // Reads and discards what the handlers left of the body, or announces that the connection closes.
    void settle(httplib::Response& response);
    [[nodiscard]] bool peerClosed() const;
    [[nodiscard]] const RequestHead* head() const { return headComplete_ ? &head_ : nullptr; }
    [[nodiscard]] bool reused() const { return info_.requests > 1; }

    // Sends what is left and closes. Unless dropped, the connection lingers briefly, reading what the
    // peer still sends, so that a response answered before the whole request was read reaches the peer
    // instead of being lost to a reset.
    void close();

private:
    // Bytes that can be read without waiting for the socket.
    [[nodiscard]] bool buffered() const;
    // Receives into the empty buffer: the count, 0 at the end of the stream, -1 on an error or time-out.
    ssize_t fill();
    // Sleeps in short slices, so that a stopping server is noticed.
    void holdBack(std::chrono::milliseconds time) const;
    // Waits for the events in short slices so that a stopping server is noticed.
    bool waitFor(short events, std::chrono::milliseconds timeout) const;
    void observe(const char* data, std::size_t length);
    void completeHead();

    platform::FileDescriptor fd_;
    const HttpFront& front_;
    const FrontHooks& hooks_;
    std::chrono::seconds readTimeout_;
    std::chrono::seconds writeTimeout_;
    std::chrono::milliseconds responseLatency_;
    std::unique_ptr<TlsSession> tls_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;

    ConnectionInfo info_;
    bool headComplete_ = false;
    std::string headBytes_;
    std::uint32_t window_ = 0;
    RequestHead head_;
    std::optional<std::uint64_t> declaredLength_;
    bool chunked_ = false;
    std::uint64_t bodyRead_ = 0;
    BodyObserver observer_;
    bool dropped_ = false;
    bool closeAfterResponse_ = false;
    bool continueSent_ = false;
    bool awaitingHead_ = true;
};

}  // namespace galvoria::devserver
