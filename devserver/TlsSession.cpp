#include "devserver/TlsSession.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <climits>

#include <openssl/err.h>

namespace galvoria::devserver {

namespace {

// TLS records carry at most 16 KiB; OpenSSL reads ahead into a buffer this large, so that a body
// arrives in few receive calls and each fill of the receive buffer takes several records.
constexpr std::size_t tlsReadAheadBytes = 256 * 1024;
constexpr std::size_t tlsRecordBytes = 16 * 1024;

}  // namespace

TlsContext loadTlsContext(const std::string& certificateChain, const std::string& privateKey, std::string& error) {
    TlsContext context(SSL_CTX_new(TLS_server_method()));
    const auto failed = [&error](const std::string& what) {
        const unsigned long code = ERR_get_error();
        std::array<char, 256> reason{};
        ERR_error_string_n(code, reason.data(), reason.size());
        ERR_clear_error();
        error = what + (code != 0 ? std::string(": ") + reason.data() : std::string());
        return TlsContext();
    };
    if (!context) return failed("no TLS context");
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(context.get(), certificateChain.c_str()) != 1)
        return failed("the certificate " + certificateChain + " cannot be loaded");
    if (SSL_CTX_use_PrivateKey_file(context.get(), privateKey.c_str(), SSL_FILETYPE_PEM) != 1)
        return failed("the key " + privateKey + " cannot be loaded");
    if (SSL_CTX_check_private_key(context.get()) != 1)
        return failed("the key " + privateKey + " does not match the certificate");
    static constexpr unsigned char sessionContext[] = "galvoria-devserver";
    SSL_CTX_set_session_id_context(context.get(), sessionContext, sizeof(sessionContext) - 1);
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_read_ahead(context.get(), 1);
    SSL_CTX_set_default_read_buffer_len(context.get(), tlsReadAheadBytes);
    return context;
}

std::unique_ptr<TlsSession> TlsSession::accept(SSL_CTX* context, int fd, std::chrono::seconds readTimeout,
                                               std::chrono::seconds writeTimeout, const SocketWait& wait) {
    SSL* ssl = SSL_new(context);
    if (ssl == nullptr) return nullptr;
    std::unique_ptr<TlsSession> session(new TlsSession(ssl));
    if (SSL_set_fd(ssl, fd) != 1) return nullptr;
    const timeval readLimit{.tv_sec = readTimeout.count(), .tv_usec = 0};
    const timeval writeLimit{.tv_sec = writeTimeout.count(), .tv_usec = 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &readLimit, sizeof(readLimit));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &writeLimit, sizeof(writeLimit));
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    bool accepted = false;
    while (true) {
        const int result = SSL_accept(ssl);
        if (result == 1) {
            accepted = true;
            break;
        }
        const int error = SSL_get_error(ssl, result);
        if (error == SSL_ERROR_WANT_READ && wait(POLLIN, readTimeout)) continue;
        if (error == SSL_ERROR_WANT_WRITE && wait(POLLOUT, writeTimeout)) continue;
        break;
    }
    ERR_clear_error();
    ::fcntl(fd, F_SETFL, flags);
    return accepted ? std::move(session) : nullptr;
}

TlsSession::~TlsSession() { SSL_free(ssl_); }

bool TlsSession::resumed() const { return SSL_session_reused(ssl_) == 1; }

bool TlsSession::pending() const { return SSL_has_pending(ssl_) == 1; }

ssize_t TlsSession::read(char* buffer, std::size_t capacity) {
    std::size_t filled = 0;
    while (capacity - filled >= tlsRecordBytes) {
        const int received =
            SSL_read(ssl_, buffer + filled, static_cast<int>(std::min<std::size_t>(capacity - filled, INT_MAX)));
        if (received <= 0) {
            const int error = SSL_get_error(ssl_, received);
            ERR_clear_error();
            if (filled > 0) break;
            return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
        }
        filled += static_cast<std::size_t>(received);
        if (!pending()) break;
    }
    return static_cast<ssize_t>(filled);
}

ssize_t TlsSession::write(const char* data, std::size_t size) {
    if (size == 0) return 0;
    const int sent = SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(size, INT32_MAX)));
    if (sent <= 0) ERR_clear_error();
    return sent > 0 ? sent : -1;
}

void TlsSession::shutdown() {
    if (SSL_is_init_finished(ssl_) != 1) return;
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

}  // namespace galvoria::devserver
