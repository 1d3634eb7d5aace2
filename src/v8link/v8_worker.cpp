#include "v8link/v8_worker.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "v8link/version_record.h"
#include "v8link/wire_codec.h"

namespace drvnt {
namespace {

constexpr int kConnectTimeoutMs = 2500;
constexpr std::uint32_t kAttemptPacingMs = 5000;
constexpr std::uint32_t kPollIntervalMs = 500;
constexpr int kReplyTimeoutMs = 1000;
constexpr std::int32_t kMaxErrors = 20;
// Replies are collected in requests of at most this many bytes.
constexpr std::size_t kMaxRequest = 50000;
// The server's replies are small; a longer announced packet is a broken stream, not a reply.
constexpr std::int32_t kMaxPacketLength = 1 << 20;

const std::string kConnectingLine = "Соединение...";
const std::string kConnectedLine = "Соединение установлено.";
const std::string kNetworkErrorsLine = "Ошибки по сети - переподсоединение.";
const std::string kAccessDeniedLine = "Доступ запрещен.";
const std::string kDisconnectOrderLine = "Сервер дал команду на рассоединение.";

}  // namespace

cl::cl(V8Host& host, SpoolHandOver& spool, Clock& clock, SpoolDir& spoolDir)
    : host_(host), spool_(spool), clock_(clock), spoolDir_(spoolDir) {}

cl::~cl() {
  Stop();
  Join();
}

void cl::Start() {
  if (started_.exchange(true))
    return;
  thread_ = std::thread([this] { Run(); });
}

void cl::Stop() {
  stop_ = true;
  std::lock_guard lock(clientMutex_);
  if (client_ && connecting_)
    client_->Wake();
}

bool cl::Finished() const {
  return !started_ || finished_;
}

void cl::Join() {
  if (thread_.joinable())
    thread_.join();
}

std::vector<Bytes> cl::TakeUnsentEventRecords() {
  std::vector<Bytes> records;
  for (QueuedPacket& p : queue_.TakeAll()) {
    if (p.type == v8::kEventRecord && p.spoolFile.empty() &&
        p.packet.size() >= v8::kPacketHeaderSize) {
      records.emplace_back(p.packet.begin() + v8::kPacketHeaderSize, p.packet.end());
    }
  }
  return records;
}

bool cl::Enqueue(std::uint32_t type, std::span<const std::uint8_t> body, std::string spoolFile) {
  return queue_.Enqueue(type, body, std::move(spoolFile));
}

void cl::Run() {
  lastPollTick_ = clock_.Ticks();
  try {
    packetSize_ = host_.ReadServerHost().packetSize;
  } catch (...) {
    // The packet size limits nothing; the default stays.
  }
  while (!stop_) {
    try {
      RunCycle();
    } catch (...) {
      // A fault in one cycle never ends the worker; the error count tells the story.
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  CloseOnExit();
  finished_ = true;
}

void cl::RunCycle() {
  if (connected_) {
    ExchangeCycle();
  } else if (enabled_) {
    if (AttemptDue())
      ConnectionAttempt();
  } else if (!deniedReported_) {
    deniedReported_ = true;
    Log(kAccessDeniedLine);
  }
}

// One queued packet or one poll, then one reply.
void cl::ExchangeCycle() {
  if (errorCount_ > kMaxErrors) {
    errorCount_ = 0;
    Log(kNetworkErrorsLine);
    connected_ = false;  // this cycle still runs on the old connection
  }
  sentFromQueue_ = false;
  sentSpoolFile_.clear();
  unconfirmed_.clear();
  if (std::optional<QueuedPacket> oldest = queue_.Oldest()) {
    SendOldest(*oldest);
  } else if (accepted_ && TicksSince(clock_.Ticks(), lastPollTick_) > kPollIntervalMs) {
    pollDue_ = true;
    lastPollTick_ = clock_.Ticks();
  }
  if (!pollDue_ && !sentFromQueue_)
    return;
  if (pollDue_) {
    pollDue_ = false;
    SendStep(v8::EncodePoll());
  }
  // A fault in the receive step counts twice. A reply with a wrong marker, or too short to hold a
  // packet header, is ignored: it neither raises nor resets the error count.
  const Received received = ReceiveStep();
  if (received == Received::kFault)
    ++errorCount_;
  std::optional<v8::PacketHeader> header;
  if (received != Received::kPacket) {
    ++errorCount_;
  } else {
    header = v8::DecodePacketHeader(reply_);
  }
  if (!unconfirmed_.empty() && !Confirms(header))
    host_.SpoolUnconfirmedEventRecord(unconfirmed_);
  if (header)
    HandleReply(header->type);
  ++exchanges_;
}

// Whether a reply shows that the server took the packet it answers: any valid reply but a
// refusal or an order to go away.
bool cl::Confirms(const std::optional<v8::PacketHeader>& reply) {
  return reply && reply->type != v8::kAccessDenied && reply->type != v8::kDropOrder &&
         reply->type != v8::kDisconnectOrder;
}

void cl::SendOldest(const QueuedPacket& packet) {
  sentFromQueue_ = true;
  sentSpoolFile_ = packet.spoolFile;
  bool written = false;
  try {
    written = SendStep(packet.packet);
  } catch (...) {
    ++errorCount_;  // the packet stays queued
    return;
  }
  // A packet whose write failed is not sent again, except an event record: losing one would lose
  // an alarm, so it waits for the next connection at the head of the queue.
  if (written || packet.type != v8::kEventRecord)
    queue_.RemoveOldest();
  if (written && packet.type == v8::kEventRecord && packet.spoolFile.empty())
    unconfirmed_.assign(packet.packet.begin() + v8::kPacketHeaderSize, packet.packet.end());
}

// True when the whole transmission was written; a network error closes the connection.
bool cl::SendStep(std::span<const std::uint8_t> packet) {
  const Bytes wire = v8::EncodeTransmission(packet);
  if (client_->WriteAll(wire, nullptr))
    return true;
  client_->Close();
  ++errorCount_;
  return false;
}

cl::Received cl::ReceiveStep() {
  reply_.clear();
  std::array<std::uint8_t, v8::kTransportHeaderSize> header{};
  if (client_->ReadExactly(header, kReplyTimeoutMs).end != ReadEnd::kComplete) {
    return Received::kNoPacket;
  }
  const v8::TransportHeader transport = v8::DecodeTransportHeader(header);
  if (!transport.markerOk)
    return Received::kNoPacket;
  if (transport.length < 0 || transport.length > kMaxPacketLength)
    return Received::kFault;
  return CollectPacket(static_cast<std::size_t>(transport.length));
}

// The announced packet, in requests of at most 50000 bytes. A request that brings nothing for
// 1000 ms, a closed connection or an error ends the collection as a fault; so does a request that
// times out after the stop flag was set. A reply that is arriving is still read to its end.
cl::Received cl::CollectPacket(std::size_t length) {
  reply_.resize(length);
  std::size_t collected = 0;
  while (collected < length) {
    const std::size_t want = std::min(length - collected, kMaxRequest);
    const ReadResult r =
        client_->ReadExactly(std::span(reply_).subspan(collected, want), kReplyTimeoutMs);
    collected += r.received;
    if (r.end == ReadEnd::kClosed || r.end == ReadEnd::kError)
      break;
    if (r.end == ReadEnd::kTimedOut && (r.received == 0 || stop_))
      break;
  }
  if (collected == length)
    return Received::kPacket;
  reply_.clear();
  return Received::kFault;
}

void cl::HandleReply(std::uint32_t type) {
  errorCount_ = 0;
  host_.ActivityStep();
  switch (type) {
    case v8::kAccepted:
      accepted_ = true;
      break;
    case v8::kEventAcknowledgement:
      OnEventAcknowledgement();
      break;
    case v8::kProbe:
      Enqueue(v8::kProbeAnswer, {});
      break;
    case v8::kAccessDenied:
      connected_ = false;
      enabled_ = false;
      DropStep();
      break;
    case v8::kDropOrder:
      connected_ = false;
      DropStep();
      break;
    case v8::kDisconnectOrder:
      OnDisconnectOrder();
      break;
    default:
      break;  // polls and anything else: a valid reply, nothing more
  }
}

// The acknowledgement answers the packet sent in this cycle; only when that packet came from a
// spool file does the file go, so an acknowledgement of a live record never deletes a file that
// is still waiting for its own.
void cl::OnEventAcknowledgement() {
  if (!sentFromQueue_ || sentSpoolFile_.empty())
    return;
  if (!spoolDir_.Exists(sentSpoolFile_))
    return;
  if (!spoolDir_.Remove(sentSpoolFile_))
    spool_.ReportUndeletedDd8File(sentSpoolFile_);    // delivered: it must not go again
  spool_.SetLastDd8SendTime(clock_.Now() - kOneDay);  // the next file may go at once
}

// The link is marked down but the connection stays open until the next attempt replaces the
// client, a full pacing interval from now.
void cl::OnDisconnectOrder() {
  errorCount_ = 0;
  lastAttemptTick_ = clock_.Ticks();
  connected_ = false;
  host_.ActivityStep();
  Log(kDisconnectOrderLine);
}

void cl::DropStep() {
  connected_ = false;
  host_.ActivityStep();
  try {
    client_->Close();
  } catch (...) {
    // Dropping never fails the cycle.
  }
}

// The first attempt is made at once, whatever the tick count; later ones are paced.
bool cl::AttemptDue() const {
  return !attempted_ || TicksSince(clock_.Ticks(), lastAttemptTick_) > kAttemptPacingMs;
}

void cl::ConnectionAttempt() {
  // From here to the end of the connect a Stop() wakes the client: an attempt may hang for its
  // whole 2500 ms. ReplaceClient() wakes the new client when the stop came before it.
  connecting_ = true;
  struct Done {
    std::atomic<bool>& flag;
    ~Done() { flag = false; }
  } done{connecting_};
  host_.ActivityStep();
  Log(kConnectingLine);
  lastAttemptTick_ = clock_.Ticks();
  attempted_ = true;
  ReplaceClient();
  accepted_ = false;
  bool ok = false;
  try {
    // Address and port may have changed in the INI file since the last attempt.
    const ServerHostConfig config = host_.ReadServerHost();
    ok = client_->Connect(config.address, config.port, kConnectTimeoutMs, nullptr);
  } catch (...) {
    ok = false;
  }
  connected_ = ok;
  if (!ok)
    return;  // a failed attempt logs nothing
  spool_.SetLastDd8SendTime(clock_.Now() - kOneDay);
  Log(kConnectedLine);
  host_.ActivityStep();
}

// The old client goes without its on-close hook. A Stop() that came before the new client exists
// still reaches it: the stop flag is read under the same lock that Stop() takes.
void cl::ReplaceClient() {
  TcpHooks hooks;
  hooks.afterConnect = [this] { QueueHelloSet(); };
  hooks.onClose = [this] { OnClose(); };
  std::unique_ptr<BlockingTcpClient> old;
  std::lock_guard lock(clientMutex_);
  old = std::move(client_);
  client_ = std::make_unique<BlockingTcpClient>(std::move(hooks));
  if (stop_)
    client_->Wake();
}

// Behind whatever already waits: hello, port status, first number, version. All inputs are read
// first, so a fault leaves no partial set behind.
void cl::QueueHelloSet() {
  const PortStatus port = host_.CurrentPortStatus();
  const std::int32_t firstNumber = host_.FirstNumber();
  const v8::VersionNumbers version = ParseVersionString(ProgramVersionString());
  Enqueue(v8::kHello, v8::HelloBody());
  Enqueue(v8::kPortStatusRecord, v8::PortStatusBody(port.portName, port.open));
  Enqueue(v8::kFirstNumberRecord, v8::FirstNumberBody(firstNumber));
  Enqueue(v8::kVersionRecord, v8::VersionBody(version));
}

void cl::OnClose() {
  connected_ = false;
  host_.ActivityStep();
}

void cl::CloseOnExit() {
  try {
    if (client_ && client_->IsConnected())
      client_->Close();
  } catch (...) {
    // Leaving anyway.
  }
  std::lock_guard lock(clientMutex_);
  client_.reset();
}

}  // namespace drvnt
