#pragma once
// The few socket calls of the asynchronous V7 client that differ between platforms: a non-blocking
// TCP socket, connect, bytes readable now, receive, send, shutdown, abortive close, the last error,
// dotted IPv4 conversion and the host lookup. Every error is reported as a Windows Sockets number
// (10061 "connection refused", 10035 "would block", ...), the numbering the client's error texts
// and its callers use on every platform. Nothing here may raise a signal: a send on a closed
// connection is an error code, never SIGPIPE.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace drvnt::sock {

using SocketHandle = std::int32_t;
inline constexpr SocketHandle kInvalidSocket = -1;

// The Windows Sockets numbers the client itself acts on or reports.
inline constexpr std::int32_t kWsaEInterrupted = 10004;
inline constexpr std::int32_t kWsaEFault = 10014;
inline constexpr std::int32_t kWsaEWouldBlock = 10035;
inline constexpr std::int32_t kWsaENoBufs = 10055;
inline constexpr std::int32_t kWsaENotConn = 10057;
inline constexpr std::int32_t kWsaETimedOut = 10060;
inline constexpr std::int32_t kWsaEConnReset = 10054;
inline constexpr std::int32_t kWsaEConnRefused = 10061;

// An errno value that has no Windows Sockets counterpart is reported as this base plus errno, so
// that it still counts as an error (above 10000) and keeps the original number for the log.
inline constexpr std::int32_t kUnmappedErrnoBase = 20000;

// The Windows Sockets number for an errno value; 0 for 0.
std::int32_t WinsockErrorFromErrno(int err);

// The Windows Sockets number of the last failed call on this thread. Read it at once: any later
// call may change it.
std::int32_t LastSocketError();

// A non-blocking, close-on-exec TCP/IPv4 socket, or kInvalidSocket.
SocketHandle OpenTcpSocket();

// Starts a connection to `address` (host byte order, 0x7F000001 = 127.0.0.1) and `port`. True when
// it completed or goes on in the background (the last error is then kWsaEWouldBlock, as a
// non-blocking connect reports it on Windows); false on any other failure.
bool Connect(SocketHandle s, std::uint32_t address, std::uint16_t port);

// The error a background connect ended with (SO_ERROR), as a Windows Sockets number; 0 = none.
std::int32_t PendingError(SocketHandle s);

// Bytes that can be read now without waiting (FIONREAD). False when the query fails.
bool BytesReadable(SocketHandle s, std::int32_t& count);

// One receive of up to `size` bytes: the count received, 0 at the end of the stream, -1 on error.
std::int32_t Receive(SocketHandle s, void* buffer, std::int32_t size);

// Looks at the next byte without taking it: 1 when there is one, 0 at the end of the stream, -1
// on error (kWsaEWouldBlock when nothing is there yet).
std::int32_t PeekByte(SocketHandle s);

// One send of up to `size` bytes: the count the socket took, -1 on error (kWsaEWouldBlock when it
// took none because its buffer is full).
std::int32_t Send(SocketHandle s, const void* buffer, std::int32_t size);

// True when the peer has ended the connection (closed its side in order, or reset it): the
// system would still take a send into a half-closed connection, and the bytes would vanish.
bool PeerHasClosed(SocketHandle s);

// Bytes the socket took that the peer has not yet acknowledged (SIOCOUTQ); 0 when unknown.
std::int32_t UnacknowledgedBytes(SocketHandle s);

// Shuts both directions down.
bool Shutdown(SocketHandle s);

// Shuts the sending direction down: the peer reads to the end of what was sent, then sees the
// close; what it has not acknowledged yet still goes.
bool ShutdownSending(SocketHandle s);

// SO_LINGER on with time 0: closing discards unsent bytes and resets the connection.
bool SetAbortiveClose(SocketHandle s);

// Closes the descriptor. It is gone afterwards whatever the result.
bool Close(SocketHandle s);

// A dotted IPv4 address ("192.168.0.10") in host byte order; nothing when `text` is not one.
std::optional<std::uint32_t> ParseDottedIPv4(const std::string& text);

// The first IPv4 address of a host name, in host byte order; nothing when it does not resolve.
// Synchronous: it holds the caller for as long as the resolver takes, so the main thread calls it
// only through HostLookup.
std::optional<std::uint32_t> LookupHostIPv4(const std::string& host);

// How a host name becomes an address, blocking; LookupHostIPv4 unless a test stands in.
using HostResolver = std::function<std::optional<std::uint32_t>(const std::string& host)>;

}  // namespace drvnt::sock
