#pragma once
// TLS on the service's connections (OpenSSL): the server's context, loaded from PEM files, and the
// session of one accepted connection.

#include <openssl/ssl.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace galvoria::devserver {

struct TlsContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using TlsContext = std::unique_ptr<SSL_CTX, TlsContextFree>;

// A context serving this certificate chain and key (PEM files), which caches sessions and issues
// tickets so that a client's later connections can resume; null, with the reason in `error`, when
// they cannot be loaded or do not match.
TlsContext loadTlsContext(const std::string& certificateChain, const std::string& privateKey, std::string& error);

// Waits until the socket is ready for `events` (poll's); false when the time passed or the server stops.
using SocketWait = std::function<bool(short events, std::chrono::milliseconds timeout)>;

class TlsSession {
public:
    // The server's side of a handshake on the socket. Records are read and written blocking, bounded
    // by the time-outs; the handshake itself waits through `wait`, so that it notices the server
    // stopping. Null when the handshake fails.
    static std::unique_ptr<TlsSession> accept(SSL_CTX* context, int fd, std::chrono::seconds readTimeout,
                                              std::chrono::seconds writeTimeout, const SocketWait& wait);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // The handshake resumed an earlier session.
    [[nodiscard]] bool resumed() const;
    // Decrypted bytes are waiting to be read.
    [[nodiscard]] bool pending() const;
    // Decrypts one record, and then as many as are already at hand and fit: the count, 0 at the end
    // of the stream, -1 on an error.
    ssize_t read(char* buffer, std::size_t capacity);
    // The count sent, or -1.
    ssize_t write(const char* data, std::size_t size);
    // Sends close_notify once the handshake has finished; the peer's own is not waited for.
    void shutdown();

private:
    explicit TlsSession(SSL* ssl) : ssl_(ssl) {}

    SSL* ssl_;
};

}  // namespace galvoria::devserver
