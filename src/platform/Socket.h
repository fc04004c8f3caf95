// Sockets: TCP for the GUI server and its clients, UDP for discovery.
//
// Procedural calls in the manner of the socket API. Failures return kInvalidSock or -1 and, where
// an `err` buffer is given, write the reason into it (NUL-terminated, cut to `errCap`).
// Sends never raise SIGPIPE; calls interrupted by a signal are resumed. All calls are thread-safe
// as far as the host's socket calls are; one socket is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

using SockFd = intptr_t;
constexpr SockFd kInvalidSock = -1;

// Listen backlog the host allows at most (SOMAXCONN).
int SockMaxBacklog();

// Initialises the socket library once per process; later calls only report how the first one
// went. Windows asks for the Winsock version the calls here use (2.2); POSIX has nothing to set
// up. Every call below that makes a socket does this itself, so a program need not call it;
// the agent does so once before it listens. Returns true on success.
bool SockStartup();

// IPv4 TCP listening socket bound to `addr` (host byte order; 0 = INADDR_ANY) and `port`
// (0 = any free port). The address is reusable at once after a restart (SO_REUSEADDR on POSIX).
SockFd SockTcpListen(uint32_t addr, uint16_t port, int backlog, char* err, size_t errCap);

// Accepts one connection; kInvalidSock on failure (the caller just tries again). The peer's IPv4
// address (host byte order) goes to *peerAddr when given (0 for a peer of another family).
SockFd SockAccept(SockFd listenSock, uint32_t* peerAddr = nullptr);

// Sets the socket's receive and send time-outs (milliseconds; 0 = none): a SockRecv that gets no
// byte for `recvMs`, or a SockSend whose peer takes no byte for `sendMs`, then returns -2.
// Returns true on success.
bool SockSetTimeouts(SockFd sock, int recvMs, int sendMs);

// The local port a socket is bound to, 0 on failure.
uint16_t SockLocalPort(SockFd sock);

// Connects to host:port over TCP (a numeric IPv4/IPv6 address or a host name), waiting at most
// `timeoutMs`. Returns the connected socket or kInvalidSock with the reason in `err`.
SockFd SockTcpConnect(const char* host, uint16_t port, int timeoutMs, char* err, size_t errCap);

// One send / recv call: the byte count moved, 0, -1 on a socket error, or -2 when a time-out set
// by SockSetTimeouts expired.
int SockSend(SockFd sock, const void* buf, int len);
int SockRecv(SockFd sock, void* buf, int len);

// Sends with a time-out: as SockSend, but gives up when the peer has taken nothing for
// `timeoutMs` (at least 1), returning -2 then (a part of `buf` may have gone before). The
// socket's send time-out stays set for later sends; a socket that timed out should be closed.
int SockSendTimeout(SockFd sock, const void* buf, int len, int timeoutMs);

// Receives with a time-out: as SockRecv, or -2 when nothing arrived within `timeoutMs`.
int SockRecvTimeout(SockFd sock, void* buf, int len, int timeoutMs);

// Shuts down the sending direction (the peer sees end of stream after the data sent).
void SockShutdownSend(SockFd sock);

// Closes the socket; kInvalidSock is ignored.
void SockClose(SockFd sock);

// ---- UDP (discovery) ----
// Addresses are IPv4 in host byte order (0x7F000001 = 127.0.0.1), ports in host byte order.

// Size of a buffer that holds any IPv4 address as dotted text, terminator included.
constexpr size_t SOCK_ADDR_TEXT_MAX = 16;

// IPv4 UDP socket bound to `addr` (0 = every local address) and `port` (0 = any free port).
// The port is not shared: no SO_REUSEADDR, so a port that another socket holds fails, and then
// *inUse (when given) is set to true; on every other outcome it is set to false. Returns the
// socket, or kInvalidSock with the reason in `err`.
SockFd SockUdpBind(uint32_t addr, uint16_t port, bool* inUse, char* err, size_t errCap);

// Allows `sock` to send to broadcast addresses (SO_BROADCAST). Returns true on success.
bool SockUdpAllowBroadcast(SockFd sock);

// True when `addr` is the limited broadcast address 255.255.255.255 or the broadcast address of
// one of the host's IPv4 interfaces. Sends nothing.
bool SockIsBroadcastAddr(uint32_t addr);

// Sends one datagram of `len` bytes to addr:port. Returns `len`, or -1 on failure (reason in
// `err` when given). A broadcast target needs SockUdpAllowBroadcast first.
int SockUdpSendTo(SockFd sock, uint32_t addr, uint16_t port, const void* buf, int len, char* err,
                  size_t errCap);

// Receives one datagram, waiting at most `timeoutMs` for it. Returns the datagram's size (0 is a
// valid, empty datagram); a size above `len` means the datagram was longer than the buffer and
// only its first `len` bytes were stored. Returns -2 when nothing arrived in time and -1 on a
// socket error (the caller may simply receive again: some hosts report an earlier send's ICMP
// error here). On success the sender's address and port go to *peerAddr and *peerPort and, when
// `peerText` is given, its address as dotted text (cut to `peerTextCap`); any of them may be
// null.
int SockUdpRecvFrom(SockFd sock, void* buf, int len, int timeoutMs, uint32_t* peerAddr,
                    uint16_t* peerPort, char* peerText, size_t peerTextCap);

// Writes `addr` as dotted text ("127.0.0.1") into buf, cut to `cap` (SOCK_ADDR_TEXT_MAX fits
// every address).
void SockAddrText(uint32_t addr, char* buf, size_t cap);

// Turns a numeric IPv4 address or a host name into an IPv4 address (the first one the resolver
// gives). Returns false, with the reason in `err`, when there is none.
bool SockResolveIpv4(const char* host, uint32_t* addr, char* err, size_t errCap);

// The host's name as the system reports it (gethostname), NUL-terminated and cut to `cap`.
// Returns false (buf then empty) when it cannot be read.
bool SockHostName(char* buf, size_t cap);

// Owns one socket and closes it when it goes out of scope.
class Socket {
  public:
    Socket() = default;
    explicit Socket(SockFd fd) : fd_(fd) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& o) noexcept : fd_(o.Release()) {}
    Socket& operator=(Socket&& o) noexcept {
        if (this != &o) Reset(o.Release());
        return *this;
    }
    ~Socket() { Reset(); }

    SockFd Get() const { return fd_; }
    bool Valid() const { return fd_ != kInvalidSock; }
    SockFd Release() {
        SockFd fd = fd_;
        fd_ = kInvalidSock;
        return fd;
    }
    void Reset(SockFd fd = kInvalidSock) {
        if (fd_ != kInvalidSock) SockClose(fd_);
        fd_ = fd;
    }

  private:
    SockFd fd_ = kInvalidSock;
};

}  // namespace plat
