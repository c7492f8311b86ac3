#include "devserver/HttpFront.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

#include <openssl/err.h>

#include "devserver/Text.hpp"

namespace galvoria::devserver {

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds stopCheckInterval{100};
constexpr std::size_t receiveBufferBytes = 256 * 1024;
constexpr std::size_t maximumHeadBytes = 64 * 1024;
constexpr milliseconds lingerTime{500};
constexpr std::size_t lingerDrainBytes = 8 * 1024 * 1024;
constexpr std::uint64_t maximumSettleBytes = 64 * 1024 * 1024;
// TLS records carry at most 16 KiB; OpenSSL reads ahead into a buffer this large, so that a body
// arrives in few receive calls and each fill of the receive buffer takes several records.
constexpr std::size_t tlsReadAheadBytes = 256 * 1024;
constexpr std::size_t tlsRecordBytes = 16 * 1024;

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

void addressText(const sockaddr_storage& address, std::string& ip, int& port) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text.data(), text.size());
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text.data(), text.size());
        port = ntohs(v6.sin6_port);
    }
    ip = text.data();
}

// One accepted connection: a buffered stream over the socket that remembers the head of the request
// being served and hands its body bytes to the request's observer.
class Connection final : public httplib::Stream {
public:
    Connection(int fd, const HttpFront& front, const FrontHooks& hooks, std::chrono::seconds readTimeout,
               std::chrono::seconds writeTimeout, milliseconds responseLatency)
        : fd_(fd),
          front_(front),
          hooks_(hooks),
          readTimeout_(readTimeout),
          writeTimeout_(writeTimeout),
          responseLatency_(responseLatency),
          buffer_(receiveBufferBytes) {}

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() override { SSL_free(tls_); }

    // The server's side of a TLS handshake, within the read time-out; false when it fails.
    bool acceptTls(SSL_CTX* context) {
        tls_ = SSL_new(context);
        if (tls_ == nullptr || SSL_set_fd(tls_, fd_) != 1) return false;
        // Blocking reads and writes of records are bounded by the time-outs; the handshake itself
        // runs without blocking so that it notices the server stopping.
        const timeval readLimit{.tv_sec = readTimeout_.count(), .tv_usec = 0};
        const timeval writeLimit{.tv_sec = writeTimeout_.count(), .tv_usec = 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &readLimit, sizeof(readLimit));
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &writeLimit, sizeof(writeLimit));
        const int flags = ::fcntl(fd_, F_GETFL);
        ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
        bool accepted = false;
        while (true) {
            const int result = SSL_accept(tls_);
            if (result == 1) {
                accepted = true;
                break;
            }
            const int error = SSL_get_error(tls_, result);
            if (error == SSL_ERROR_WANT_READ && waitFor(POLLIN, readTimeout_)) continue;
            if (error == SSL_ERROR_WANT_WRITE && waitFor(POLLOUT, writeTimeout_)) continue;
            break;
        }
        ERR_clear_error();
        ::fcntl(fd_, F_SETFL, flags);
        if (accepted && hooks_.onTlsHandshake) hooks_.onTlsHandshake(SSL_session_reused(tls_) == 1);
        return accepted;
    }

    bool is_readable() const override { return buffered() || waitFor(POLLIN, readTimeout_); }

    bool is_writable() const override { return !dropped_ && waitFor(POLLOUT, writeTimeout_); }

    ssize_t read(char* data, size_t size) override {
        if (dropped_) return -1;
        if (begin_ == end_) {
            ssize_t received = fill();
            if (received <= 0) return received;
        }
        std::size_t count = std::min(size, end_ - begin_);
        std::memcpy(data, buffer_.data() + begin_, count);
        begin_ += count;
        observe(data, count);
        return static_cast<ssize_t>(count);
    }

    // Hands the receiver the body straight out of the receive buffer.
    bool readBody(const std::function<bool(const char*, std::size_t)>& receiver) {
        if (!headComplete_ || !declaredLength_ || chunked_) return false;
        while (bodyRead_ < *declaredLength_) {
            if (dropped_ || (begin_ == end_ && fill() <= 0)) return false;
            auto count = static_cast<std::size_t>(std::min<std::uint64_t>(end_ - begin_, *declaredLength_ - bodyRead_));
            const char* data = buffer_.data() + begin_;
            begin_ += count;
            observe(data, count);
            if (!receiver(data, count)) return false;
        }
        return true;
    }

    ssize_t write(const char* data, size_t size) override {
        const std::string_view text(data, size);
        if (awaitingHead_ && text.starts_with("HTTP/1.")) {
            if (responseLatency_.count() > 0) holdBack(responseLatency_);
            awaitingHead_ = text.starts_with("HTTP/1.1 100 ");  // the final head follows an interim one
        }
        if (dropped_ || !waitFor(POLLOUT, writeTimeout_)) return -1;
        if (text.starts_with("HTTP/1.1 100 ")) continueSent_ = true;
        if (tls_ != nullptr) {
            if (size == 0) return 0;
            const int sent = SSL_write(tls_, data, static_cast<int>(std::min<std::size_t>(size, INT32_MAX)));
            if (sent <= 0) ERR_clear_error();
            return sent > 0 ? sent : -1;
        }
        ssize_t sent = 0;
        do {
            sent = ::send(fd_, data, size, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        return sent;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof(address);
        if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) addressText(address, ip, port);
    }

    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof(address);
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) addressText(address, ip, port);
    }

    socket_t socket() const override { return fd_; }

    // Waits until the next request may start: buffered bytes, or the socket readable (which may also be
    // the peer closing). False when the keep-alive time passed or the server stops.
    bool waitForNextRequest(std::chrono::seconds keepAlive) const { return buffered() || waitFor(POLLIN, keepAlive); }

    void beginRequest() {
        headComplete_ = false;
        headBytes_.clear();
        window_ = 0;
        head_ = RequestHead{};
        declaredLength_.reset();
        chunked_ = false;
        bodyRead_ = 0;
        observer_ = nullptr;
        closeAfterResponse_ = false;
        continueSent_ = false;
        awaitingHead_ = true;
    }

    // True when the connection can carry another request.
    [[nodiscard]] bool endRequest() {
        observer_ = nullptr;
        if (!headComplete_ || dropped_ || closeAfterResponse_ || chunked_) return false;
        // Body bytes nobody read would otherwise be taken for the next request.
        return !declaredLength_ || bodyRead_ >= *declaredLength_;
    }

    void drop() {
        if (dropped_) return;
        dropped_ = true;
        ::shutdown(fd_, SHUT_RDWR);
    }

    void closeAfterResponse() { closeAfterResponse_ = true; }
    [[nodiscard]] bool dropped() const { return dropped_; }

    void settle(httplib::Response& response) {
        if (dropped_ || !headComplete_) return;
        if (chunked_) closeAfterResponse_ = true;
        if (!closeAfterResponse_ && declaredLength_ && bodyRead_ < *declaredLength_) {
            bool heldBack = !continueSent_ && head_.header("Expect").has_value();
            if (heldBack || *declaredLength_ - bodyRead_ > maximumSettleBytes) {
                closeAfterResponse_ = true;
            } else {
                std::array<char, 16 * 1024> scratch{};
                while (bodyRead_ < *declaredLength_) {
                    auto wanted =
                        static_cast<std::size_t>(std::min<std::uint64_t>(scratch.size(), *declaredLength_ - bodyRead_));
                    if (read(scratch.data(), wanted) <= 0) {
                        closeAfterResponse_ = true;
                        break;
                    }
                }
            }
        }
        if (closeAfterResponse_) {
            response.headers.erase("Keep-Alive");
            response.set_header("Connection", "close");
        }
    }

    [[nodiscard]] bool peerClosed() const {
        pollfd entry{fd_, POLLRDHUP, 0};
        return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    }

    [[nodiscard]] const RequestHead* head() const { return headComplete_ ? &head_ : nullptr; }
    [[nodiscard]] bool reused() const { return info_.requests > 1; }

    // Sends what is left and closes. Unless dropped, the connection lingers briefly, reading what the
    // peer still sends, so that a response answered before the whole request was read reaches the peer
    // instead of being lost to a reset.
    void close() {
        if (!dropped_) {
            if (tls_ != nullptr && SSL_is_init_finished(tls_) == 1) {
                SSL_shutdown(tls_);  // sends close_notify; the peer's own is not waited for
                ERR_clear_error();
            }
            ::shutdown(fd_, SHUT_WR);
            auto deadline = SteadyClock::now() + lingerTime;
            std::size_t drained = 0;
            while (drained < lingerDrainBytes && !front_.stopping()) {
                auto left = std::chrono::duration_cast<milliseconds>(deadline - SteadyClock::now());
                if (left.count() <= 0) break;
                pollfd entry{fd_, POLLIN, 0};
                int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, stopCheckInterval).count()));
                if (ready < 0 && errno != EINTR) break;
                if (ready <= 0) continue;
                ssize_t received = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
                if (received <= 0) break;
                drained += static_cast<std::size_t>(received);
            }
        }
        ::close(fd_);
    }

private:
    // Bytes that can be read without waiting for the socket.
    [[nodiscard]] bool buffered() const { return begin_ < end_ || (tls_ != nullptr && SSL_has_pending(tls_) == 1); }

    // Receives into the empty buffer: the count, 0 at the end of the stream, -1 on an error or time-out.
    ssize_t fill() {
        if (tls_ != nullptr) return fillFromTls();
        if (!waitFor(POLLIN, readTimeout_)) return -1;
        ssize_t received = 0;
        do {
            received = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
        } while (received < 0 && errno == EINTR);
        begin_ = 0;
        end_ = received > 0 ? static_cast<std::size_t>(received) : 0;
        return received;
    }

    // Decrypts one record, and then as many as are already at hand and fit.
    ssize_t fillFromTls() {
        begin_ = 0;
        end_ = 0;
        if (SSL_has_pending(tls_) != 1 && !waitFor(POLLIN, readTimeout_)) return -1;
        while (buffer_.size() - end_ >= tlsRecordBytes) {
            const int received = SSL_read(tls_, buffer_.data() + end_, static_cast<int>(buffer_.size() - end_));
            if (received <= 0) {
                const int error = SSL_get_error(tls_, received);
                ERR_clear_error();
                if (end_ > 0) break;
                return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
            }
            end_ += static_cast<std::size_t>(received);
            if (SSL_has_pending(tls_) != 1) break;
        }
        return static_cast<ssize_t>(end_);
    }

    // Sleeps in short slices, so that a stopping server is noticed.
    void holdBack(milliseconds time) const {
        const auto until = SteadyClock::now() + time;
        while (!front_.stopping()) {
            const auto left = std::chrono::duration_cast<milliseconds>(until - SteadyClock::now());
            if (left.count() <= 0) return;
            std::this_thread::sleep_for(std::min(left, stopCheckInterval));
        }
    }

    // Waits for the events in short slices so that a stopping server is noticed.
    bool waitFor(short events, std::chrono::milliseconds timeout) const {
        auto deadline = SteadyClock::now() + timeout;
        while (!front_.stopping()) {
            auto left = std::chrono::duration_cast<milliseconds>(deadline - SteadyClock::now());
            if (left.count() <= 0) return false;
            pollfd entry{fd_, events, 0};
            int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, stopCheckInterval).count()));
            if (ready > 0) return true;
            if (ready < 0 && errno != EINTR) return false;
        }
        return false;
    }

    void observe(const char* data, std::size_t length) {
        std::size_t index = 0;
        while (!headComplete_ && index < length) {
            char c = data[index++];
            if (headBytes_.size() < maximumHeadBytes) headBytes_.push_back(c);
            window_ = (window_ << 8) | static_cast<unsigned char>(c);
            if (window_ == 0x0D0A0D0A) completeHead();
        }
        if (index < length && headComplete_) {
            bodyRead_ += length - index;
            if (observer_) observer_(data + index, length - index);
        }
    }

    void completeHead() {
        headComplete_ = true;
        std::string_view text(headBytes_);
        std::size_t lineEnd = text.find("\r\n");
        std::string_view requestLine = text.substr(0, lineEnd);
        auto firstSpace = requestLine.find(' ');
        auto lastSpace = requestLine.rfind(' ');
        if (firstSpace != std::string_view::npos && lastSpace > firstSpace) {
            head_.method = std::string(requestLine.substr(0, firstSpace));
            head_.target = std::string(requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1));
        } else {
            head_.method = std::string(requestLine);
        }
        std::size_t start = lineEnd == std::string_view::npos ? text.size() : lineEnd + 2;
        while (start < text.size()) {
            std::size_t end = text.find("\r\n", start);
            if (end == std::string_view::npos) end = text.size();
            std::string_view line = text.substr(start, end - start);
            start = end + 2;
            auto colon = line.find(':');
            if (line.empty() || colon == std::string_view::npos) continue;
            head_.headers.emplace_back(std::string(line.substr(0, colon)),
                                       std::string(trimBlanks(line.substr(colon + 1))));
        }
        if (auto length = head_.header("Content-Length")) declaredLength_ = parseDecimal(*length);
        if (auto encoding = head_.header("Transfer-Encoding")) chunked_ = !encoding->empty();
        ++info_.requests;
        if (hooks_.onRequestHead) observer_ = hooks_.onRequestHead(head_, info_);
    }

    int fd_;
    const HttpFront& front_;
    const FrontHooks& hooks_;
    std::chrono::seconds readTimeout_;
    std::chrono::seconds writeTimeout_;
    milliseconds responseLatency_;
    SSL* tls_ = nullptr;
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

thread_local Connection* currentConnection = nullptr;

}  // namespace

std::optional<std::string> RequestHead::header(std::string_view name) const {
    for (const auto& [headerName, value] : headers) {
        if (equalsIgnoringCase(headerName, name)) return value;
    }
    return std::nullopt;
}

std::string_view RequestHead::path() const {
    std::string_view text(target);
    return text.substr(0, text.find('?'));
}

HttpFront::HttpFront(FrontHooks hooks) : hooks_(std::move(hooks)) {
    set_post_routing_handler(
        [](const httplib::Request&, httplib::Response& response) { settleCurrentRequest(response); });
}

bool HttpFront::useTls(const std::string& certificateChain, const std::string& privateKey, std::string& error) {
    std::unique_ptr<SSL_CTX, TlsContextFree> context(SSL_CTX_new(TLS_server_method()));
    const auto failed = [&error](const std::string& what) {
        const unsigned long code = ERR_get_error();
        std::array<char, 256> reason{};
        ERR_error_string_n(code, reason.data(), reason.size());
        ERR_clear_error();
        error = what + (code != 0 ? std::string(": ") + reason.data() : std::string());
        return false;
    };
    if (!context) return failed("no TLS context");
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(context.get(), certificateChain.c_str()) != 1)
        return failed("the certificate " + certificateChain + " cannot be loaded");
    if (SSL_CTX_use_PrivateKey_file(context.get(), privateKey.c_str(), SSL_FILETYPE_PEM) != 1)
        return failed("the key " + privateKey + " cannot be loaded");
    if (SSL_CTX_check_private_key(context.get()) != 1)
        return failed("the key " + privateKey + " does not match the certificate");
    // Sessions are cached and tickets issued, so that a client's later connections can resume.
    static constexpr unsigned char sessionContext[] = "galvoria-devserver";
    SSL_CTX_set_session_id_context(context.get(), sessionContext, sizeof(sessionContext) - 1);
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_read_ahead(context.get(), 1);
    SSL_CTX_set_default_read_buffer_len(context.get(), tlsReadAheadBytes);
    tlsContext_ = std::move(context);
    return true;
}

void HttpFront::widenBacklog(int backlog) {
    if (svr_sock_ != INVALID_SOCKET) ::listen(svr_sock_, backlog);
}

const RequestHead* HttpFront::currentHead() { return currentConnection ? currentConnection->head() : nullptr; }

void HttpFront::dropCurrentConnection() {
    if (currentConnection) currentConnection->drop();
}

bool HttpFront::currentConnectionDropped() { return currentConnection && currentConnection->dropped(); }

void HttpFront::closeCurrentConnectionAfterResponse() {
    if (currentConnection) currentConnection->closeAfterResponse();
}

bool HttpFront::readCurrentBody(const std::function<bool(const char*, std::size_t)>& receiver) {
    return currentConnection != nullptr && currentConnection->readBody(receiver);
}

void HttpFront::settleCurrentRequest(httplib::Response& response) {
    if (currentConnection) currentConnection->settle(response);
}

bool HttpFront::currentPeerClosed() { return currentConnection && currentConnection->peerClosed(); }

bool HttpFront::currentConnectionReused() { return currentConnection && currentConnection->reused(); }

bool HttpFront::process_and_close_socket(socket_t sock) {
    // A response goes out as a head and a body in two writes; held back for the acknowledgement of
    // the first, the second would wait out the peer's delayed acknowledgement (some 40 ms).
    int noDelay = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
    Connection connection(sock, *this, hooks_, std::chrono::seconds(read_timeout_sec_),
                          std::chrono::seconds(write_timeout_sec_), responseLatency_);
    bool served = false;
    if (tlsContext_ && !connection.acceptTls(tlsContext_.get())) {
        connection.drop();
        connection.close();
        return false;
    }
    try {
        std::size_t remaining = keep_alive_max_count_;
        while (!stopping() && remaining > 0 &&
               connection.waitForNextRequest(std::chrono::seconds(keep_alive_timeout_sec_))) {
            connection.beginRequest();
            bool connectionClosed = false;
            currentConnection = &connection;
            served = process_request(connection, remaining == 1, connectionClosed, nullptr);
            currentConnection = nullptr;
            if (!connection.endRequest() || !served || connectionClosed) break;
            --remaining;
        }
    } catch (...) {
        // A failing request ends its connection, never the server.
        currentConnection = nullptr;
        served = false;
    }
    connection.close();
    return served;
}

GrowingThreadPool::GrowingThreadPool(std::size_t maximumThreads) : maximumThreads_(maximumThreads) {}

GrowingThreadPool::~GrowingThreadPool() { shutdown(); }

void GrowingThreadPool::enqueue(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
    if (jobs_.size() > idle_ && threads_.size() < maximumThreads_) {
        threads_.emplace_back([this] { work(); });
    } else {
        changed_.notify_one();
    }
}

void GrowingThreadPool::shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        shuttingDown_ = true;
        threads.swap(threads_);
    }
    changed_.notify_all();
    for (auto& thread : threads) thread.join();
}

void GrowingThreadPool::work() {
    std::unique_lock lock(mutex_);
    while (true) {
        ++idle_;
        changed_.wait(lock, [this] { return shuttingDown_ || !jobs_.empty(); });
        --idle_;
        if (jobs_.empty()) return;
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        try {
            job();
        } catch (...) {
            // The job's connection is gone; the worker stays.
        }
        lock.lock();
    }
}

}  // namespace galvoria::devserver
