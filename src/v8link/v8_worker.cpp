#include "v8link/v8_worker.h"

#include <algorithm>
#include <chrono>

#include "v8link/reply_reader.h"
#include "v8link/version_record.h"
#include "v8link/wire_codec.h"

namespace drvnt {
namespace {

constexpr int kConnectTimeoutMs = 2500;
constexpr std::uint32_t kAttemptPacingMs = 5000;
constexpr std::uint32_t kPollIntervalMs = 500;
// The longest sleep between cycles: the clock is read again at least this often, so a deadline is
// never missed by more than that even when the ticks move in ways that no wait can foresee (a
// clock set by hand in tests). One poll interval: a connected, idle worker wakes only to poll.
constexpr std::uint32_t kLongestWaitMs = kPollIntervalMs + 1;
// A server has as long to take a request as it has to answer it: one that cannot take a packet of
// at most a few dozen bytes (a spooled record of up to 64 KiB) within a second has stopped reading.
constexpr int kWriteTimeoutMs = 1000;

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
  {
    std::lock_guard lock(clientMutex_);
    stop_ = true;
    if (client_ && (connecting_ || writing_))
      client_->Wake();
  }
  wake_.Notify();
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
  const bool queued = queue_.Enqueue(type, body, std::move(spoolFile));
  wake_.Notify();
  return queued;
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
    WaitForWork();
  }
  CloseOnExit();
  finished_ = true;
  host_.WorkerFinished();
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

// One queued packet or one poll, then its reply. A request without its reply, whole and in time,
// leaves the exchange out of step and ends the connection at once, with the line that used to wait
// for more than 20 errors: a connection out of step could not recover by waiting for them.
void cl::ExchangeCycle() {
  sentFromQueue_ = false;
  sentSpoolFile_.clear();
  unconfirmed_.clear();
  const std::optional<QueuedPacket> oldest = queue_.Oldest();
  if (!oldest && !PollDue())
    return;  // nothing to send
  // The server sends nothing unasked: bytes already waiting would be read as the reply to this
  // request although they answer none of it. The request stays queued for the next connection.
  if (UnaskedBytesWaiting()) {
    EndOutOfStep();
    return;
  }
  const bool written = oldest ? SendOldest(*oldest) : SendStep(v8::EncodePoll());
  // A request that did not go out whole has no reply to wait for; it counts as a missing one.
  v8::ReplyEnd end = written ? ReceiveStep() : v8::ReplyEnd::kNoReply;
  if (!written)
    ++errorCount_;
  // Bytes behind the reply: two transmissions came where one was asked for, and which of them
  // answers this request no one can tell. Neither counts.
  if (end == v8::ReplyEnd::kPacket && UnaskedBytesWaiting())
    end = v8::ReplyEnd::kNoReply;
  std::optional<v8::PacketHeader> reply;
  if (end == v8::ReplyEnd::kPacket)
    reply = v8::DecodePacketHeader(reply_);  // nothing when a marker is wrong or it is too short
  SettleEventRecord(reply);
  if (reply)
    HandleReply(reply->type);
  // Its file is deleted or stays for the service timer: either way its exchange is over.
  if (written && sentFromQueue_ && !sentSpoolFile_.empty())
    spool_.ReleaseQueued(sentSpoolFile_);
  if (end != v8::ReplyEnd::kPacket)
    EndOutOfStep();
  ++exchanges_;
}

bool cl::UnaskedBytesWaiting() const {
  return client_->BytesWaiting() > 0;
}

// Only while the queue is empty and the server has accepted this connection.
bool cl::PollDue() {
  if (!accepted_ || TicksSince(clock_.Ticks(), lastPollTick_) <= kPollIntervalMs)
    return false;
  lastPollTick_ = clock_.Ticks();
  return true;
}

// Only an event acknowledgement in step confirms the live event record it answers. Without one
// the server may never have had it: it is handed back to be spooled and goes again later (a
// repeat at the server is better than a lost alarm). A spooled record keeps its file.
void cl::SettleEventRecord(const std::optional<v8::PacketHeader>& reply) {
  const bool acknowledged = reply && reply->type == v8::kEventAcknowledgement;
  if (!unconfirmed_.empty() && !acknowledged)
    host_.SpoolUnconfirmedEventRecord(unconfirmed_);
}

// What the server sends from now on may answer an earlier request: the connection is ended and the
// next one starts in step. The reconnection keeps the pacing of attempts (more than 5000 ms after
// the last one began), so a connection that has served that long is replaced at once and a server
// that fails every exchange is tried at most every 5 s.
void cl::EndOutOfStep() {
  connected_ = false;
  if (!stop_)
    Log(kNetworkErrorsLine);
  client_->Close();
}

// True when the packet went out whole.
bool cl::SendOldest(const QueuedPacket& packet) {
  sentFromQueue_ = true;
  sentSpoolFile_ = packet.spoolFile;
  bool written = false;
  try {
    written = SendStep(packet.packet);
  } catch (...) {
    ++errorCount_;  // the packet stays queued
    return false;
  }
  // A packet whose write failed is not sent again, except an event record: losing one would lose
  // an alarm, so it waits for the next connection at the head of the queue.
  if (written || packet.type != v8::kEventRecord)
    queue_.RemoveOldest();
  if (written && packet.type == v8::kEventRecord && packet.spoolFile.empty())
    unconfirmed_.assign(packet.packet.begin() + v8::kPacketHeaderSize, packet.packet.end());
  return written;
}

// True when the whole transmission was written; a network error or a server that does not take it
// within the write bound closes the connection.
bool cl::SendStep(std::span<const std::uint8_t> packet) {
  const Bytes wire = v8::EncodeTransmission(packet);
  if (WriteWakeable(wire))
    return true;
  client_->Close();
  ++errorCount_;
  return false;
}

// While the write lasts a Stop() wakes it; a stop that came just before it wakes it at once.
bool cl::WriteWakeable(std::span<const std::uint8_t> wire) {
  {
    std::lock_guard lock(clientMutex_);
    writing_ = true;
    if (stop_)
      client_->Wake();
  }
  const bool ok = client_->WriteAll(wire, kWriteTimeoutMs, nullptr);
  std::lock_guard lock(clientMutex_);
  writing_ = false;
  return ok;
}

// Reads the reply into `reply_`. A whole reply with a wrong marker or too short for a packet header
// still leaves the exchange in step; it is ignored, neither raising nor resetting the error count.
// No reply costs one error, a broken one two.
v8::ReplyEnd cl::ReceiveStep() {
  v8::ReplyRead read = v8::ReadReply(*client_, stop_);
  reply_ = std::move(read.packet);
  if (read.end == v8::ReplyEnd::kBroken)
    ++errorCount_;
  if (read.end != v8::ReplyEnd::kPacket)
    ++errorCount_;
  return read.end;
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
    spool_.ReportUndeletedDd8File(sentSpoolFile_);  // delivered: it must not go again
  spool_.LetNextDd8GoAtOnce();
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

// Milliseconds until the next cycle has something to do: a queued packet or a stop at once, else
// the poll or the connection attempt falling due; nothing else is due before a notification.
std::uint32_t cl::MsUntilWork() const {
  const auto remaining = [this](std::uint32_t since, std::uint32_t interval) {
    const std::uint32_t passed = TicksSince(clock_.Ticks(), since);
    return passed > interval ? 0 : interval + 1 - passed;
  };
  if (stop_)
    return 0;
  if (connected_) {
    if (!queue_.Empty())
      return 0;
    return accepted_ ? remaining(lastPollTick_, kPollIntervalMs) : kLongestWaitMs;
  }
  if (enabled_)
    return attempted_ ? remaining(lastAttemptTick_, kAttemptPacingMs) : 0;
  return kLongestWaitMs;
}

void cl::WaitForWork() {
  const std::uint32_t ms = std::min(MsUntilWork(), kLongestWaitMs);
  if (ms > 0)
    wake_.WaitFor(ms, [this] { return stop_.load(); });
}

void WakeSignal::Notify() {
  {
    std::lock_guard lock(mutex_);
    notified_ = true;
  }
  cv_.notify_one();
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
    ok = ServerHostUsable(config) &&
         client_->Connect(config.address, config.port, kConnectTimeoutMs, nullptr);
  } catch (...) {
    ok = false;
  }
  // The next .dd8 file may go at once; said before the link shows itself connected, so that it
  // cannot undo the service timer's first hand-over on this connection.
  if (ok)
    spool_.LetNextDd8GoAtOnce();
  connected_ = ok;
  if (!ok)
    return;         // a failed attempt logs nothing
  errorCount_ = 0;  // a new connection starts in step
  Log(kConnectedLine);
  host_.ActivityStep();
}

// An address or port that no attempt can use is said once on standard error, and again only when
// the reason changes; the attempts go on at their pace, so that a corrected INI file takes effect.
bool cl::ServerHostUsable(const ServerHostConfig& config) {
  const std::string why = WhyServerHostUnusable(config.address, config.port);
  if (const std::optional<std::string> line = serverHostProblem_.Report(why))
    host_.ReportConfigurationProblem(*line);
  return why.empty();
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
// first, so a fault leaves no partial set behind. What is left of an earlier connection's hello set
// goes: it belongs to a connection that has ended, and a server that fails every exchange would
// otherwise see the queue fill with hello sets.
void cl::QueueHelloSet() {
  const PortStatus port = host_.CurrentPortStatus();
  const std::int32_t firstNumber = host_.FirstNumber();
  const v8::VersionNumbers version = ParseVersionString(ProgramVersionString());
  queue_.RemoveHelloSets();
  queue_.Enqueue(v8::kHello, v8::HelloBody(), {}, true);
  queue_.Enqueue(v8::kPortStatusRecord, v8::PortStatusBody(port.portName, port.open), {}, true);
  queue_.Enqueue(v8::kFirstNumberRecord, v8::FirstNumberBody(firstNumber), {}, true);
  queue_.Enqueue(v8::kVersionRecord, v8::VersionBody(version), {}, true);
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
