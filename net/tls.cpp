#include "net/tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>

#include "log/log.h"
#include "net/socket.h"

namespace kd {
namespace {

constexpr LogSource netLog{"net"};

constexpr int kStepMs = 100;  // one wait of the handshake; bounds how late cancel is noticed
constexpr std::size_t kReadStepBytes = 16384;  // one TLS record at most
constexpr std::size_t kReadAheadBytes = 65536;
constexpr const char* kNotTrusted = "the update server's certificate is not trusted";
constexpr const char* kOtherName = "the update server's certificate is for another name";
constexpr const char* kExpired = "the update server's certificate has expired";
constexpr const char* kNoSecureConnection = "a secure connection could not be made";
constexpr std::size_t kMaxSessions = 16;  // servers remembered; a launcher talks to one or two

// OpenSSL's own socket BIO writes without MSG_NOSIGNAL, so a server that hangs up mid-write would
// raise SIGPIPE and end the launcher. This one goes through send and recv like the plain path.
int fdOf(BIO* bio) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))); }

bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

int bioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(fdOf(bio), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (sent < 0 && wouldBlock()) BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int bioRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    const ssize_t got = ::recv(fdOf(bio), data, static_cast<std::size_t>(length), 0);
    if (got < 0 && wouldBlock()) BIO_set_retry_read(bio);
    // Tells OpenSSL that the server hung up, rather than a socket error.
    if (got == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
    return static_cast<int>(got);
}

long bioControl(BIO* bio, int command, long, void*) {
    if (command == BIO_CTRL_EOF) return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0;
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

const BIO_METHOD* socketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "veilstone");
        if (m != nullptr) {
            BIO_meth_set_write(m, bioWrite);
            BIO_meth_set_read(m, bioRead);
            BIO_meth_set_ctrl(m, bioControl);
        }
        return m;
    }();
    return method;
}

// The last session each server (host and port) gave us. A release is thousands of requests to one
// server on fresh connections; resuming spares each of them the certificate check and the
// signatures of a full handshake, which cost more than the bytes of a typical object. The session
// was made with this host name checked, and only that server can resume it.
struct Sessions {
    std::mutex mutex;
    std::map<std::string, SSL_SESSION*> byPeer;  // owned references, guarded by mutex
};

// Never destroyed, like the context: connections still open at exit may use it.
Sessions& knownSessions() {
    static Sessions* const known = new Sessions;
    return *known;
}

int keepSession(SSL* ssl, SSL_SESSION* session) {
    const auto* peer = static_cast<const std::string*>(SSL_get_app_data(ssl));
    if (peer == nullptr || SSL_SESSION_is_resumable(session) != 1) return 0;
    Sessions& known = knownSessions();
    std::lock_guard<std::mutex> lock(known.mutex);
    auto& sessions = known.byPeer;
    auto [slot, added] = sessions.try_emplace(*peer, session);
    if (!added) {
        SSL_SESSION_free(slot->second);
        slot->second = session;
    } else if (sessions.size() > kMaxSessions) {
        for (auto& [name, old] : sessions)
            if (old != session) SSL_SESSION_free(old);
        sessions = {{*peer, session}};
    }
    return 1;  // the reference is ours now
}

void resumeSession(SSL* ssl, const std::string& peer) {
    Sessions& known = knownSessions();
    std::lock_guard<std::mutex> lock(known.mutex);
    const auto found = known.byPeer.find(peer);
    if (found != known.byPeer.end()) SSL_set_session(ssl, found->second);
}

// One context for the process: the trust store is read once, and a context may serve sessions on
// several threads at once.
SSL_CTX* clientContext() {
    static SSL_CTX* const context = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        if (c == nullptr) return c;
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
        // The pending output moves as the HTTP client trims it; a write may take part of it.
        SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION);
        // Whole socket reads instead of one for each record's header and one for its body.
        SSL_CTX_set_read_ahead(c, 1);
        SSL_CTX_set_default_read_buffer_len(c, kReadAheadBytes);
        SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(c, keepSession);
        if (SSL_CTX_set_default_verify_paths(c) != 1)
            netLog.warn("cannot read the system's trusted certificates");
        return c;
    }();
    return context;
}

std::string lastOpenSslError() {
    const unsigned long code = ERR_peek_last_error();
    if (code == 0) return {};
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace

TlsSession::~TlsSession() { SSL_free(ssl_); }

bool TlsSession::connect(int fd, const std::string& host, std::uint16_t port, int deadlineMs,
                         const std::atomic<bool>* cancel, std::string& error) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(deadlineMs);
    fd_ = fd;
    peer_ = host + ":" + std::to_string(port);
    ERR_clear_error();
    SSL_CTX* context = clientContext();
    BIO* bio = socketMethod() != nullptr ? BIO_new(socketMethod()) : nullptr;
    ssl_ = context != nullptr ? SSL_new(context) : nullptr;
    if (bio == nullptr || ssl_ == nullptr) {
        BIO_free(bio);
        error = kNoSecureConnection;
        netLog.warn("TLS with %s: %s (%s)", peer_.c_str(), error.c_str(),
                    lastOpenSslError().c_str());
        return false;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio);
    // An address is checked against the certificate's IP entries and never sent as a server name.
    in_addr address{};
    const bool literal = inet_pton(AF_INET, host.c_str(), &address) == 1;
    if ((!literal && SSL_set_tlsext_host_name(ssl_, host.c_str()) != 1) ||
        SSL_set1_host(ssl_, host.c_str()) != 1)
        return refuse(SSL_ERROR_SSL, error);
    SSL_set_app_data(ssl_, &peer_);
    resumeSession(ssl_, peer_);
    SSL_set_connect_state(ssl_);
    events_ = POLLIN;  // a handshake that needs no wait still leaves the reply to wait for

    for (;;) {
        if (cancel != nullptr && cancel->load()) {
            error = "cancelled";
            return false;
        }
        ERR_clear_error();
        const int done = SSL_do_handshake(ssl_);
        if (done == 1) return true;
        const int why = SSL_get_error(ssl_, done);
        if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) return refuse(why, error);
        events_ = why == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            error = kNoSecureConnection;
            netLog.warn("TLS with %s: %s (no handshake within %d ms)", peer_.c_str(), error.c_str(),
                        deadlineMs);
            return false;
        }
        wait(static_cast<int>(std::min<long long>(left, kStepMs)));
    }
}

bool TlsSession::refuse(int why, std::string& error) {
    const long verified = SSL_get_verify_result(ssl_);
    std::string reason;
    if (verified != X509_V_OK) {
        reason = X509_verify_cert_error_string(verified);
        if (verified == X509_V_ERR_CERT_HAS_EXPIRED)
            error = kExpired;
        else if (verified == X509_V_ERR_HOSTNAME_MISMATCH ||
                 verified == X509_V_ERR_IP_ADDRESS_MISMATCH)
            error = kOtherName;
        else
            error = kNotTrusted;
    } else {
        error = kNoSecureConnection;
        reason = lastOpenSslError();
        if (reason.empty())
            reason = why == SSL_ERROR_SYSCALL && errno != 0 ? netErrorText(errno)
                                                            : "the server closed the connection";
    }
    netLog.warn("TLS with %s: %s (%s)", peer_.c_str(), error.c_str(), reason.c_str());
    return false;
}

bool TlsSession::send(std::vector<std::uint8_t>& pending) {
    std::size_t sent = 0;
    writeBlocked_ = false;
    while (sent < pending.size()) {
        std::size_t written = 0;
        ERR_clear_error();
        if (SSL_write_ex(ssl_, pending.data() + sent, pending.size() - sent, &written) == 1) {
            sent += written;
            continue;
        }
        const int why = SSL_get_error(ssl_, 0);
        if (why == SSL_ERROR_WANT_WRITE || why == SSL_ERROR_WANT_READ) {
            writeBlocked_ = why == SSL_ERROR_WANT_WRITE;
            break;
        }
        pending.clear();
        return false;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(sent));
    return true;
}

bool TlsSession::receive(std::vector<std::uint8_t>& buffer, std::size_t limit, int* failure) {
    if (failure != nullptr) *failure = 0;
    events_ = POLLIN;
    full_ = false;
    std::uint8_t area[kReadStepBytes];
    while (buffer.size() < limit) {
        std::size_t got = 0;
        ERR_clear_error();
        if (SSL_read_ex(ssl_, area, std::min(limit - buffer.size(), sizeof area), &got) == 1) {
            appendBounded(buffer, area, got, limit);
            continue;
        }
        const int why = SSL_get_error(ssl_, 0);
        if (why == SSL_ERROR_WANT_READ) return true;
        if (why == SSL_ERROR_WANT_WRITE) {
            events_ = POLLOUT;
            return true;
        }
        // An orderly close is the server's close_notify; a connection that ends without one, or
        // a record that does not decrypt, was cut or tampered with on the way.
        if (why == SSL_ERROR_ZERO_RETURN) return false;
        if (failure != nullptr) *failure = EPROTO;
        netLog.debug("TLS with %s ended: %s", peer_.c_str(), lastOpenSslError().c_str());
        return false;
    }
    full_ = true;
    return true;
}

void TlsSession::closeNotify() {
    // One try, never waited on: it marks the session whole, which OpenSSL otherwise takes for a
    // broken connection and will not resume.
    ERR_clear_error();
    if (ssl_ != nullptr) SSL_shutdown(ssl_);
}

void TlsSession::wait(int timeoutMs) {
    // Bytes OpenSSL holds are only worth a second look when the last read stopped at the
    // caller's limit; after a read that wanted more they are a record still incomplete.
    if (full_ && SSL_has_pending(ssl_) == 1) return;
    pollfd entry{fd_, static_cast<short>(events_ | (writeBlocked_ ? POLLOUT : 0)), 0};
    poll(&entry, 1, timeoutMs);
}

}  // namespace kd
