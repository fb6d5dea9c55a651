// TLS for the HTTP client, through the system's OpenSSL: one client session over a connected
// non-blocking socket. The server's certificate must chain to a root of the system's trust store
// (or of SSL_CERT_FILE / SSL_CERT_DIR, which OpenSSL's default paths honour) and name the host;
// TLS 1.2 is the oldest version spoken. Nothing blocks longer than the wait its caller asks for,
// and nothing raises SIGPIPE: the socket is written with MSG_NOSIGNAL as the plain path does.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ssl_st;

namespace kd {

class TlsSession {
public:
    TlsSession() = default;
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Makes the handshake over fd with host (SNI and the name check), ending by deadlineMs from
    // now (a handshake that trickles is cut as surely as one that stalls) or at cancel. False with
    // one sentence in error: the certificate is not trusted, is for another name, has expired, or
    // no secure connection could be made; OpenSSL's own reason goes to the log.
    bool connect(int fd, const std::string& host, std::uint16_t port, int deadlineMs,
                 const std::atomic<bool>* cancel, std::string& error);

    // Like sendPending and recvSome of the socket layer, through the session.
    bool send(std::vector<std::uint8_t>& pending);
    bool receive(std::vector<std::uint8_t>& buffer, std::size_t limit, int* failure);
    // After a complete reply: tells the server we are done, so that the session may be resumed by
    // the next connection to it (a session left without it counts as broken).
    void closeNotify();
    // Waits up to timeoutMs for what the session needs next: data from the server, or room to
    // write. Returns at once while decrypted bytes wait that no socket wait would announce.
    void wait(int timeoutMs);

private:
    bool refuse(int why, std::string& error);

    ssl_st* ssl_ = nullptr;
    int fd_ = -1;
    short events_ = 0;           // what the last handshake step or read waits for
    bool writeBlocked_ = false;  // the last send stopped for room in the socket
    bool full_ = false;          // the last read stopped at the caller's limit
    std::string peer_;           // host:port, for the log
};

}  // namespace kd
