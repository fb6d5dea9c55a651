// A thin layer over POSIX TCP sockets for the HTTP client: an IPv4 connection made with a time-out,
// non-blocking sends from a pending-output buffer, bounded non-blocking receives into a growing
// buffer, a short wait for readability and error texts. Sockets are plain descriptors, -1 meaning
// none. Nothing here throws for network errors, and apart from name resolution nothing blocks
// longer than the time-out its caller passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kd {

// Connects to the first IPv4 address of host. Returns a connected non-blocking socket with Nagle's
// algorithm off, or -1 with error set to "cannot resolve " + host, "cannot create socket",
// "timed out" or the system's text for the error.
int tcpConnect(const std::string& host, std::uint16_t port, int timeoutMs, std::string& error);

// Sends as much of pending as the socket takes now and removes that from its front. False when the
// connection is unusable; pending is then cleared.
bool sendPending(int socket, std::vector<std::uint8_t>& pending);
// Appends the bytes to pending, then sendPending; its result says whether the connection is usable.
bool queueSend(int socket, std::vector<std::uint8_t>& pending, const void* bytes,
               std::size_t length);

// Returns when one of the sockets (entries of -1 are skipped) is readable or timeoutMs passed.
void waitReadable(std::span<const int> sockets, int timeoutMs);

// True when the socket has something to read, or has been closed or failed, right now.
bool isReadable(int socket);

// Appends what is available now, never letting buffer grow past limit bytes (nor its capacity).
// True while the connection is open; false once the peer closed it or it failed, the bytes received
// before staying in buffer. When failure is given it receives 0 for an orderly close by the peer
// and the error number otherwise.
bool recvSome(int socket, std::vector<std::uint8_t>& buffer, std::size_t limit,
              int* failure = nullptr);

// Appends length bytes to buffer, growing its capacity geometrically but never past limit, so the
// memory held stays within what the caller allowed. The caller keeps buffer.size() + length
// within limit.
void appendBounded(std::vector<std::uint8_t>& buffer, const std::uint8_t* data, std::size_t length,
                   std::size_t limit);

// Closes socket unless it is -1 and always leaves it -1, so a second call cannot close a
// descriptor that was reused in between.
void closeSocket(int& socket);

// The system's text for an error number.
std::string netErrorText(int error);

}  // namespace kd
