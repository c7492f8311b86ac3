#include "devserver/Connection.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

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

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// The address of one end of the socket, as getpeername or getsockname report it.
using AddressQuery = int (*)(int, sockaddr*, socklen_t*);

void addressText(int fd, AddressQuery query, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (query(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
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

}  // namespace

Connection::Connection(int fd, const HttpFront& front, const FrontHooks& hooks, std::chrono::seconds readTimeout,
                       std::chrono::seconds writeTimeout, milliseconds responseLatency)
    : fd_(fd),
      front_(front),
      hooks_(hooks),
      readTimeout_(readTimeout),
      writeTimeout_(writeTimeout),
      responseLatency_(responseLatency),
      buffer_(receiveBufferBytes) {}

Connection::~Connection() = default;

bool Connection::acceptTls(SSL_CTX* context) {
    tls_ = TlsSession::accept(context, fd_.get(), readTimeout_, writeTimeout_,
                              [this](short events, milliseconds timeout) { return waitFor(events, timeout); });
    if (tls_ && hooks_.onTlsHandshake) hooks_.onTlsHandshake(tls_->resumed());
    return tls_ != nullptr;
}

bool Connection::is_readable() const { return buffered() || waitFor(POLLIN, readTimeout_); }

bool Connection::is_writable() const { return !dropped_ && waitFor(POLLOUT, writeTimeout_); }

ssize_t Connection::read(char* data, size_t size) {
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

bool Connection::readBody(const std::function<bool(const char*, std::size_t)>& receiver) {
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

ssize_t Connection::write(const char* data, size_t size) {
    const std::string_view text(data, size);
    if (awaitingHead_ && text.starts_with("HTTP/1.")) {
        if (responseLatency_.count() > 0) holdBack(responseLatency_);
        awaitingHead_ = text.starts_with("HTTP/1.1 100 ");  // the final head follows an interim one
    }
    if (dropped_ || !waitFor(POLLOUT, writeTimeout_)) return -1;
    if (text.starts_with("HTTP/1.1 100 ")) continueSent_ = true;
    if (tls_) return tls_->write(data, size);
    ssize_t sent = 0;
    do {
        sent = ::send(fd_.get(), data, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

void Connection::get_remote_ip_and_port(std::string& ip, int& port) const {
    addressText(fd_.get(), ::getpeername, ip, port);
}

void Connection::get_local_ip_and_port(std::string& ip, int& port) const {
    addressText(fd_.get(), ::getsockname, ip, port);
}

bool Connection::waitForNextRequest(std::chrono::seconds keepAlive) const {
    return buffered() || waitFor(POLLIN, keepAlive);
}

void Connection::beginRequest() {
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

bool Connection::endRequest() {
    observer_ = nullptr;
    if (!headComplete_ || dropped_ || closeAfterResponse_ || chunked_) return false;
    // Body bytes nobody read would otherwise be taken for the next request.
    return !declaredLength_ || bodyRead_ >= *declaredLength_;
}

void Connection::drop() {
    if (dropped_) return;
    dropped_ = true;
    ::shutdown(fd_.get(), SHUT_RDWR);
}

void Connection::settle(httplib::Response& response) {
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

bool Connection::peerClosed() const {
    pollfd entry{fd_.get(), POLLRDHUP, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void Connection::close() {
    if (!dropped_) {
        if (tls_) tls_->shutdown();
        ::shutdown(fd_.get(), SHUT_WR);
        auto deadline = SteadyClock::now() + lingerTime;
        std::size_t drained = 0;
        while (drained < lingerDrainBytes && !front_.stopping()) {
            auto left = std::chrono::duration_cast<milliseconds>(deadline - SteadyClock::now());
            if (left.count() <= 0) break;
            pollfd entry{fd_.get(), POLLIN, 0};
            int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, stopCheckInterval).count()));
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
            ssize_t received = ::recv(fd_.get(), buffer_.data(), buffer_.size(), 0);
            if (received <= 0) break;
            drained += static_cast<std::size_t>(received);
        }
    }
    fd_.reset();
}

bool Connection::buffered() const { return begin_ < end_ || (tls_ && tls_->pending()); }

ssize_t Connection::fill() {
    begin_ = 0;
    end_ = 0;
    if (tls_) {
        if (!tls_->pending() && !waitFor(POLLIN, readTimeout_)) return -1;
        const ssize_t received = tls_->read(buffer_.data(), buffer_.size());
        end_ = received > 0 ? static_cast<std::size_t>(received) : 0;
        return received;
    }
    if (!waitFor(POLLIN, readTimeout_)) return -1;
    ssize_t received = 0;
    do {
        received = ::recv(fd_.get(), buffer_.data(), buffer_.size(), 0);
    } while (received < 0 && errno == EINTR);
    end_ = received > 0 ? static_cast<std::size_t>(received) : 0;
    return received;
}

void Connection::holdBack(milliseconds time) const {
    const auto until = SteadyClock::now() + time;
    while (!front_.stopping()) {
        const auto left = std::chrono::duration_cast<milliseconds>(until - SteadyClock::now());
        if (left.count() <= 0) return;
        std::this_thread::sleep_for(std::min(left, stopCheckInterval));
    }
}

bool Connection::waitFor(short events, milliseconds timeout) const {
    auto deadline = SteadyClock::now() + timeout;
    while (!front_.stopping()) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd_.get(), events, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, stopCheckInterval).count()));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
    return false;
}

void Connection::observe(const char* data, std::size_t length) {
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

void Connection::completeHead() {
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
        head_.headers.emplace_back(std::string(line.substr(0, colon)), std::string(trimBlanks(line.substr(colon + 1))));
    }
    if (auto length = head_.header("Content-Length")) declaredLength_ = parseDecimal(*length);
    if (auto encoding = head_.header("Transfer-Encoding")) chunked_ = !encoding->empty();
    ++info_.requests;
    if (hooks_.onRequestHead) observer_ = hooks_.onRequestHead(head_, info_);
}

}  // namespace galvoria::devserver
