// IPv4 socket addresses, shared by the two socket implementations (posix/Socket.cpp and
// win32/Socket.cpp). Inside the platform layer only: nothing above it includes this header.
//
// Both hosts lay a sockaddr_in out the same way: 16 bytes holding the address family in host
// byte order, the port and the address in network byte order, then eight zero bytes. SockAddrV4
// is that layout in portable terms; each Socket.cpp checks it against its host's sockaddr_in at
// compile time and hands a SockAddrV4 to the socket calls as their sockaddr.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

struct SockAddrV4 {
    uint16_t family;  // SOCK_FAMILY_INET
    uint8_t port[2];  // network byte order
    uint8_t addr[4];  // network byte order
    uint8_t zero[8];
};
static_assert(sizeof(SockAddrV4) == 16, "SockAddrV4 has the size of a sockaddr_in");

// AF_INET on every host we build for.
constexpr uint16_t SOCK_FAMILY_INET = 2;

// The socket address of `addr` (host byte order; 0 = every local address) and `port`.
SockAddrV4 MakeSockAddrV4(uint32_t addr, uint16_t port);

// Reads an IPv4 address and port (host byte order) out of the `len` bytes of a socket address
// that a socket call returned. False, with both set to 0, when it is not an IPv4 address or is
// too short to be one.
bool ReadSockAddrV4(const void* sa, size_t len, uint32_t* addr, uint16_t* port);

// Reads dotted IPv4 text: exactly four decimal numbers from 0 to 255, separated by dots, of one
// to three digits without a leading zero, and nothing else ("10.0.0.1"; not "10.1", "010.0.0.1"
// nor "1.2.3.4 "). Returns false, leaving *addr alone, for anything else.
bool ParseDottedV4(const char* text, uint32_t* addr);

}  // namespace plat
