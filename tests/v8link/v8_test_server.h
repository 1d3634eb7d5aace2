#pragma once
// A V8 server for the tests on a loopback port of the system's choice. It frames and decodes the
// driver's bytes itself, byte by byte, and answers each packet as the test's policy says: a reply,
// silence, a broken reply, a late reply, a close; it can also stop reading and keep sending bytes
// unasked (probes, or a reply trickled a byte at a time), or send one packet unasked a while after
// an answer. One connection at a time; a new
// connection replaces the old.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace drvnt::testing {

// The V8 test servers listen on a loopback address of their own, never where a real server of the
// machine may listen.
inline constexpr const char* kV8TestAddress = "127.0.0.4";

using Wire = std::vector<std::uint8_t>;

// A transmission as the server received it.
struct ServerPacket {
  int connection = 0;  // 0 for the first connection, 1 for the next, ...
  int index = 0;       // 0 for the first packet on its connection, ...
  Wire wire;           // transport header and packet
  std::uint32_t type = 0;
  std::int64_t sequence = 0;
  Wire body;
};

struct ServerAction {
  Wire send;           // sent back at once (or after delayMs); empty: stay silent
  bool close = false;  // then close the connection
  int delayMs = 0;     // this answer waits so long; the server reads nothing meanwhile
  // From now on nothing more is read from this connection: the driver's bytes pile up in the
  // system's buffers until its writes can go no further.
  bool stopReading = false;
  // Sent again and again, every repeatEveryMs, for as long as the connection lasts, whatever the
  // driver sends (never blocking: a repeat the socket does not take is skipped).
  Wire repeat = {};
  int repeatEveryMs = 0;
  // Sent once, unaskedAfterMs after the answer, while the server goes on reading.
  Wire unasked = {};
  int unaskedAfterMs = 0;
};

using ServerPolicy = std::function<ServerAction(const ServerPacket&)>;

class V8TestServer {
 public:
  explicit V8TestServer(ServerPolicy policy);
  ~V8TestServer();

  std::int32_t Port() const { return port_; }
  void SetPolicy(ServerPolicy policy);
  // Waits this long before each answer and notes any byte that arrives meanwhile.
  void SetReplyDelayMs(int ms);

  std::vector<ServerPacket> Packets() const;
  int Connections() const;
  // True once the driver has closed connection `n`, or the server closed it.
  bool Ended(int n) const;
  // A byte arrived before the answer to the previous packet had gone out.
  bool SawPipelining() const;

  // Closes the current connection from the server's side and waits until it is closed.
  void Hangup();

  bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000) const;
  bool WaitForPackets(std::size_t n, int timeoutMs = 5000) const;

 private:
  struct Connection {
    int fd = -1;
    int number = 0;
    int packets = 0;
    Wire buffer;
    bool reading = true;
    Wire repeat;
    int repeatEveryMs = 0;
    std::chrono::steady_clock::time_point nextRepeat;
    Wire unasked;
    std::chrono::steady_clock::time_point unaskedAt;
  };

  void Serve();
  int PollTimeoutMs() const;
  void SendRepeats();
  void Accept();
  void ReadFrom(Connection& c);
  void HandlePackets(Connection& c);
  void EndConnection(Connection& c);

  ServerPolicy policy_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::int32_t port_ = 0;
  int replyDelayMs_ = 0;
  bool pipelined_ = false;
  std::vector<ServerPacket> packets_;
  std::vector<bool> ended_;
  Connection current_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::thread thread_;
};

// The server's own encoding of a transmission: a transport header (the marker, N at offsets 5 and
// 17, zeros elsewhere) and a packet header with the markers given, then the body.
struct ReplyShape {
  std::uint32_t type = 0x02000000;
  std::uint8_t marker = 0xFF;
  std::uint8_t packetStart = 0xFF;
  std::uint8_t packetEnd = 0xFE;
  std::int64_t sequence = 0;
  Wire body;
};
Wire EncodeReply(const ReplyShape& shape);
Wire Reply(std::uint32_t type);
// A transport header alone announcing `length` bytes.
Wire TransportHeaderOnly(std::uint8_t marker, std::int32_t length, std::uint32_t secondLength);

}  // namespace drvnt::testing
