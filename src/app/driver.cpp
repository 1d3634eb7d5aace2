#include "app/driver.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "app/port_open_report.h"
#include "app/spool_directory.h"
#include "app/startup_report.h"
#include "core/bytes.h"
#include "core/cp1251.h"
#include "core/date_time.h"
#include "v7link/server_message.h"
#include "v7link/v7_messages.h"
#include "v8link/v8_worker.h"
#include "v8link/wire_codec.h"

namespace drvnt {
namespace {

constexpr std::uint32_t kServiceTimerMs = 200;
constexpr std::uint32_t kReconnectTimerMs = 3000;
// How long an orderly stop waits for the V7 server to acknowledge what is in flight: well inside
// a service manager's stop time-out.
constexpr int kV7DrainAtStopMs = 3000;
constexpr int kV7DrainStepMs = 10;
constexpr const char* kDevicePrefix = "\\\\.\\";

std::string NowText(const Clock& clock) {
  CalendarTime t;
  if (!TryDecodeDateTime(clock.Now(), t))
    return "?";
  return FormatDateTime(t);
}

// The real V8 worker behind the engine's handle.
class ClWorker final : public V8Worker {
 public:
  ClWorker(V8Host& host, SpoolHandOver& handOver, Clock& clock, SpoolDir& spool)
      : worker_(host, handOver, clock, spool) {}
  bool IsConnected() const override { return worker_.IsConnected(); }
  bool Enqueue(std::uint32_t type, std::span<const std::uint8_t> body,
               std::string spoolFile) override {
    return worker_.Enqueue(type, body, std::move(spoolFile));
  }
  void Start() override { worker_.Start(); }
  void Stop() override { worker_.Stop(); }
  bool Finished() const override { return worker_.Finished(); }
  void Join() override { worker_.Join(); }

 private:
  cl worker_;
};

}  // namespace

Driver::Driver(DriverEnvironment env)
    : env_(std::move(env)),
      loop_(env_.loop),
      clock_(env_.clock),
      ui_(env_.ui),
      spool_(env_.spool),
      ini_(env_.directory),
      errorLog_(env_.directory + "/" + kErrorLogName),
      spoolWriter_(spool_, clock_, [this](int code) { LogError(code); }),
      rawLogPath_(env_.directory + "/" + kRawLogName),
      dd8Job_(spool_, clock_, handOver_,
              [this](const std::string& text) { ui_.ReportError(text); }),
      ddkJob_(spool_, [this](const std::string& text) { ui_.ReportError(text); }),
      CommPortDriver1_(loop_, clock_,
                       env_.serialDevice ? env_.serialDevice() : CreateSystemSerialDevice(),
                       [this](std::string_view name) { return ComPortsEntry(name); }),
      SimpleTCPClient1_(loop_) {
  ApplySystemValues(CommPortDriver1_);
  // The 0x06 follows a frame's last byte at once; bench/scenario turns it off to compare.
  CommPortDriver1_.SetDeliverAtFrameEnd(std::getenv("DRVNT417_PACKET_TIMEOUT_ONLY") == nullptr);
  // A receiver line that goes away and comes back: one line each; the port stays open meanwhile.
  CommPortDriver1_.SetOnLineLost([this](const SerialError& why) {
    std::cerr << LineLostLine(PortLabel(CommPortDriver1_), why, CommPortDriver1_.ReopenInterval())
              << std::endl;
  });
  CommPortDriver1_.SetOnLineBack(
      [this] { std::cerr << LineBackLine(PortLabel(CommPortDriver1_)) << std::endl; });
  CommPortDriver1_.SetOnReceivePacket(
      [this](TCommPortDriver&, const std::uint8_t* packet, std::uint32_t size) {
        Guard([&] { CommPortDriver1ReceivePacket(packet, size); });
      });

  SimpleTCPClient1_.SetPort(kV7Port);
  SimpleTCPClient1_.OnConnected = [this](TSimpleTCPClient&) { SimpleTCPClient1Connected(); };
  SimpleTCPClient1_.OnDisconnected = [this](TSimpleTCPClient&) { SimpleTCPClient1Disconnected(); };
  SimpleTCPClient1_.OnRead = [this](TSimpleTCPClient&, MemoryStream& stream) {
    SimpleTCPClient1Read(stream);
  };
  SimpleTCPClient1_.OnError = [this](TSimpleTCPClient&, std::int32_t socket, std::int32_t code,
                                     const std::string& text) {
    SimpleTCPClient1Error(socket, code, text);
  };
  SimpleTCPClient1_.OnException = [this](const std::string& text) { ui_.ReportError(text); };

  Timer2_ = loop_.CreateTimer([this] { Guard([&] { Timer2Timer(); }); });
  Timer3_ = loop_.CreateTimer([this] { Guard([&] { Timer3Timer(); }); });
}

Driver::~Driver() {
  Shutdown();
}

template <typename F>
void Driver::Guard(F&& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ui_.ReportError(e.what());
  } catch (...) {
    ui_.ReportError("Unknown error");
  }
}

// ---- Start-up and closing ----------------------------------------------------------------

void Driver::Start() {
  startupDirectory_ = env_.directory;
  V7ReceiveBuffer_.Clear();
  LastFrameTime_ = clock_.Now();
  receiverSilence_.Restart(clock_.Ticks());
  ReceiverLinkOk_ = false;
  ServerCloseRequested_ = false;
  closePassword_.clear();
  MakeClosePassword();
  // The controls still read "Остановить": the scan's selection stores nothing.
  ports_.StartupScan();

  const auto ini = ini_.Load();
  settings_ =
      ReadSettings(*ini, [this](const std::string& host) { SimpleTCPClient1_.SetHost(host); });
  PrintStartupReport(ini_, *ini, settings_, startupDirectory_, std::cout, std::cerr);
  {
    std::lock_guard lock(sharedMutex_);
    rememberedPortName_ = settings_.ComPort;
  }
  if (settings_.SendV7 || settings_.SendV8) {
    PrepareSpoolDirectory(spool_, settings_.PathForSoob, std::cout,
                          [this](const std::string& text) { ui_.ReportError(text); });
  }
  ListLeftoverTempFiles(spool_, settings_.PathForSoob, std::cerr);
  ui_.SetV7RowVisible(settings_.SendV7);
  ports_.ShowConfiguredPort(settings_.ComPort);
  OpenConfiguredPort();

  if (settings_.SendV7)
    SimpleTCPClient1_.SetConnected(true);
  if (settings_.SendV8) {
    V8Host& host = *this;
    worker_ = env_.v8Worker ? env_.v8Worker(host, handOver_)
                            : std::make_unique<ClWorker>(host, handOver_, clock_, spool_);
    worker_->Start();
    PaintV8Indicator();
  }
  ui_.ShowStartTime(NowText(clock_));
  Timer2_->Start(kServiceTimerMs);
  Timer3_->Start(kReconnectTimerMs);
}

void Driver::MakeClosePassword() {
  std::mt19937 random(static_cast<std::mt19937::result_type>(
      clock_.Ticks() ^ static_cast<std::uint32_t>(std::llround(clock_.Now() * kMsPerDay)) ^
      std::random_device{}()));
  std::uniform_int_distribution<int> draw(0, 89998);
  closePassword_ = std::to_string(draw(random) + 10000);
  ui_.ShowClosePassword(closePassword_);
}

void Driver::OpenConfiguredPort() {
  if (settings_.ComPort == kNoPortChosen) {
    ports_.EnterStoppedState();
    return;
  }
  CommPortDriver1_.SetPortName(kDevicePrefix + settings_.ComPort);
  bool opened = false;
  try {
    opened = CommPortDriver1_.OpenPort();
  } catch (const std::exception&) {
    opened = false;
  }
  if (!opened) {
    PortDidNotOpen();
    ports_.EnterStoppedState();
    portBusyAtStart_.Schedule();
  }
}

void Driver::PortDidNotOpen() {
  std::cerr << PortOpenFailureLine(PortLabel(CommPortDriver1_), CommPortDriver1_.LastDeviceError())
            << std::endl;
}

bool Driver::CloseRequest() {
  if (ServerCloseRequested_ || closeWithoutPassword_) {
    try {
      CommPortDriver1_.ClosePort();
    } catch (const std::exception&) {
    }
    return true;
  }
  const int result = ui_.ShowAccessDialog(closePassword_);
  if (result == kAccessAccepted) {
    if (CommPortDriver1_.IsPortOpen())
      CommPortDriver1_.ClosePort();
    return true;
  }
  if (result == kAccessWrongPassword)
    ui_.ShowMessageWindow(kWrongPassword);
  return false;
}

void Driver::CloseBySignal() {
  closeWithoutPassword_ = true;
  ui_.RequestClose();
}

void Driver::Shutdown() {
  if (shutDown_)
    return;
  shutDown_ = true;
  if (Timer2_)
    Timer2_->Stop();
  if (Timer3_)
    Timer3_->Stop();
  if (worker_) {
    worker_->Stop();
    // The worker's hand-offs are served meanwhile; WorkerFinished wakes the last wait.
    while (!worker_->Finished())
      loop_.WaitForEvents();
    worker_->Join();
    // Every record still queued has its .dd8 file for the next start; NotSendToDiskV8 keeps them
    // in memory only, as it asks.
  }
  DrainV7AtStop();
  SimpleTCPClient1_.OnDisconnected = nullptr;
  SimpleTCPClient1_.SetConnected(false);
  CommPortDriver1_.ClosePort();
}

// ---- Frames from the receiver ------------------------------------------------------------

void Driver::CommPortDriver1ReceivePacket(const std::uint8_t* packet, std::uint32_t dataSize) {
  const std::span<const std::uint8_t> bytes(packet,
                                            std::min<std::size_t>(dataSize, kWorkingBufferSize));
  if (CommPortDriver1_.Purges() != purgesSeen_) {
    purgesSeen_ = CommPortDriver1_.Purges();
    assembler_.AfterPurge(CommPortDriver1_.LastPurgeTick());
  }
  // Before the raw log: a packet that goes no further still ends the piece kept before it.
  const auto frame = assembler_.Take(bytes, clock_.Ticks());
  if (settings_.Log)
    AppendRawLog(bytes);
  if (!IsTerminated(bytes))
    return;
  LastFrameTime_ = clock_.Now();
  receiverSilence_.Restart(clock_.Ticks());
  receiverActivity_ = StepActivity(receiverActivity_);
  PaintReceiverIndicator();
  if (assembler_.CutByPurge()) {
    std::cerr << "receiver: the rest of a frame cut when the port was opened is not acknowledged;"
                 " the receiver sends the frame again"
              << std::endl;
    return;
  }
  if (assembler_.Noise().count > 0)
    std::cerr << DroppedNoiseLine(assembler_.Noise()) << std::endl;
  // An event frame is acknowledged once it is kept: the receiver repeats a frame it has no 0x06
  // for, so an event that nothing could keep is not lost.
  if (frame && !DecodeAndDispatch(*frame))
    return;
  const std::uint8_t ack = kFrameAck;
  CommPortDriver1_.SendBytes(&ack, 1);
}

void Driver::AppendRawLog(std::span<const std::uint8_t> packet) {
  if (auto error = AppendToFile(rawLogPath_, packet)) {
    // Raised so that this packet goes no further and the operator sees the file error.
    throw std::runtime_error("Cannot write \"" + rawLogPath_ + "\": " + error->text);
  }
}

// True when the frame is to be acknowledged.
bool Driver::DecodeAndDispatch(std::span<const std::uint8_t> frame) {
  const EventFrame fields = ParseEventFrame(frame);
  // Looked up for every event frame (the file is read again whenever it changed), so edits of
  // `Razdels` count from the next frame.
  const std::int32_t override =
      ini_.Load()->ReadInteger("Razdels", PartitionOverrideKey(fields), -1);
  const DecodedEvent event =
      DecodeEvent(fields, override, settings_.FirstNumber, settings_.Razdel, clock_.Now());
  lastEventRecord_ = BuildEventRecord(event);
  if (event.EventCode == kFilteredEventCode)
    return true;
  // The journal first: the event is on disk for every link that carries it before anything goes
  // out, and a frame whose files cannot all be written goes nowhere and is repeated.
  const bool v8File = settings_.SendV8 && !settings_.NotSendToDiskV8;
  Bytes dd8(4);
  PutU32(dd8.data(), kEventRecordType);
  dd8.insert(dd8.end(), lastEventRecord_.begin(), lastEventRecord_.end());
  const V7Message message = BuildEventMessage(event, clock_.Now());
  const JournalEntry entry = journal_.Write(
      settings_.PathForSoob,
      v8File ? std::optional(std::span<const std::uint8_t>(dd8)) : std::nullopt,
      settings_.SendV7 ? std::optional(std::span<const std::uint8_t>(message)) : std::nullopt);
  HandOverOutcomes outcomes;
  if (!entry.Kept()) {
    const bool v8Up = worker_ && worker_->IsConnected();
    outcomes.v8 = !settings_.SendV8  ? HandOverOutcome::NotAsked
                  : entry.dd8Failed  ? HandOverOutcome::Lost
                  : !v8File && !v8Up ? HandOverOutcome::DroppedOnPurpose
                                     : HandOverOutcome::Withdrawn;
    outcomes.v7 = !settings_.SendV7 ? HandOverOutcome::NotAsked
                  : entry.ddkFailed ? HandOverOutcome::Lost
                                    : HandOverOutcome::Withdrawn;
    return acknowledgement_.Decide(event, outcomes);
  }
  if (settings_.SendV8)
    outcomes.v8 = HandOverV8(lastEventRecord_, entry.dd8);
  if (settings_.SendV7)
    outcomes.v7 = HandOverV7(message, *entry.ddk);
  return acknowledgement_.Decide(event, outcomes);
}

// `file`: the record's .dd8 file, which the worker deletes once the server acknowledged the
// record; without one (NotSendToDiskV8) the record lives in memory only, as that setting asks.
HandOverOutcome Driver::HandOverV8(const EventRecord& record,
                                   const std::optional<std::string>& file) {
  const bool connected = worker_ && worker_->IsConnected();
  if (!file) {
    if (!connected)
      return HandOverOutcome::DroppedOnPurpose;
    // A full queue while connected is a fault, not the setting: the record is not kept.
    return worker_->Enqueue(kEventRecordType, record) ? HandOverOutcome::Sent
                                                      : HandOverOutcome::Lost;
  }
  if (connected) {
    handOver_.MarkQueued(*file);
    if (worker_->Enqueue(kEventRecordType, record, *file))
      return HandOverOutcome::Sent;
    handOver_.ReleaseQueued(*file);
  }
  return HandOverOutcome::Spooled;
}

// `file`: the message's .ddk file, deleted once the server's TCP acknowledged the message.
HandOverOutcome Driver::HandOverV7(std::span<const std::uint8_t> message, const std::string& file) {
  return SendJournaledV7Message(file, message) ? HandOverOutcome::Sent : HandOverOutcome::Spooled;
}

// True when the message of `file` is on its way: the socket took it, or took its start and the
// client keeps the rest to go first. Otherwise it waits in its file for the service timer.
bool Driver::SendJournaledV7Message(const std::string& file,
                                    std::span<const std::uint8_t> message) {
  if (!SimpleTCPClient1_.Connected() || !v7Window_.IsOpen())
    return false;
  MemoryStream stream(message);
  if (SimpleTCPClient1_.SendStream(&stream) <= 0)
    return false;
  v7Window_.Sent(file, SimpleTCPClient1_.StreamEnd());
  // What the server acknowledged meanwhile is counted as sends go, not only at the next tick.
  SettleV7Deliveries();
  return true;
}

void Driver::SettleV7Deliveries() {
  if (SimpleTCPClient1_.Connected())
    v7Window_.Settle(SimpleTCPClient1_.AcknowledgedBytes());
}

// An orderly stop never resets away what the server has not acknowledged: the sending side is
// shut, and the server gets a bounded time to acknowledge what is in flight. Whatever it has not
// acknowledged by then keeps its file for the next start.
void Driver::DrainV7AtStop() {
  if (!SimpleTCPClient1_.Connected() || v7Window_.InFlight() == 0)
    return;
  SimpleTCPClient1_.ShutdownSending();
  for (int waited = 0; waited < kV7DrainAtStopMs / kV7DrainStepMs; ++waited) {
    SettleV7Deliveries();
    if (v7Window_.InFlight() == 0)
      return;
    std::this_thread::sleep_for(std::chrono::milliseconds(kV7DrainStepMs));
  }
  SettleV7Deliveries();
  std::cerr << "V7 link: " << v7Window_.InFlight()
            << " message(s) not acknowledged by the server at the stop; they stay in spool files"
               " and are sent after the next start"
            << std::endl;
}

bool Driver::SendV7Message(std::span<const std::uint8_t> message) {
  if (!SimpleTCPClient1_.Connected())
    return false;
  MemoryStream stream(message);
  return SimpleTCPClient1_.SendStream(&stream) == static_cast<std::int32_t>(message.size());
}

// ---- The V7 link -------------------------------------------------------------------------

void Driver::Timer3Timer() {
  if (settings_.SendV7 && !SimpleTCPClient1_.Connected())
    SimpleTCPClient1_.SetConnected(true);
}

void Driver::SimpleTCPClient1Connected() {
  V7Connected_ = true;
  PaintV7Indicator();
  SendV7Message(GreetingMessage());
  const std::string device = CommPortDriver1_.PortName();
  const auto port = PortNumberOfDevice(device);
  if (!port) {
    throw std::runtime_error("'" + device.substr(std::min<std::size_t>(7, device.size())) +
                             "' is not a valid integer value");
  }
  SendV7Message(PortStatusMessage(static_cast<std::uint8_t>(*port)));
}

void Driver::SimpleTCPClient1Disconnected() {
  V7Connected_ = false;
  // What the server acknowledged before the end is delivered; the rest goes again.
  v7Window_.Settle(SimpleTCPClient1_.AcknowledgedBytes());
  v7Window_.ConnectionEnded();
  // An incomplete message of a lost connection must not shift the framing of the next one.
  V7ReceiveBuffer_.Clear();
  PaintV7Indicator();
}

void Driver::SimpleTCPClient1Error(std::int32_t, std::int32_t, const std::string&) {
  // The client has already released the connection; the reconnect timer brings the link back.
}

void Driver::SimpleTCPClient1Read(MemoryStream& stream) {
  TakeV7Pieces(
      V7ReceiveBuffer_, stream.Bytes(),
      [this](std::span<const std::uint8_t, kV7Size> piece) { HandleServerMessage(piece); });
}

void Driver::HandleServerMessage(std::span<const std::uint8_t, kV7Size> piece) {
  const V7ServerMessage message = ReadServerMessage(piece);
  if (message.request == V7ServerRequest::kNotAMessage)
    return;
  V7MessageCount_ = StepActivity(V7MessageCount_);
  PaintV7Indicator();
  switch (message.request) {
    case V7ServerRequest::kSetTime:
      clock_.SetLocalTime(message.time);
      return;
    case V7ServerRequest::kBadTime:
      std::cerr << "V7: time message with a date-time that is no calendar time ("
                << message.sentTime << "); the clock is left alone" << std::endl;
      return;
    case V7ServerRequest::kClose:
      ServerCloseRequested_ = true;
      ui_.RequestClose();
      return;
    default:
      return;
  }
}

void Driver::SendStatusMessage(std::span<const std::uint8_t> data) {
  const V7Piece message = StatusMessage(data.size() > 1 ? data[1] : 0);
  if (SendV7Message(message))
    return;
  // Like an event message: in its file first, so that a message the socket takes only in part is
  // never both kept for its rest and spooled.
  const std::string stem = std::string("_").append(std::to_string(settings_.n_abs));
  if (const auto file = spoolWriter_.Write(settings_.PathForSoob, stem, ".ddk", message))
    SendJournaledV7Message(*file, message);
}

// ---- The service timer -------------------------------------------------------------------

void Driver::Timer2Timer() {
  SpoolJobV8();
  SpoolJobV7();
  try {
    SuperviseReceiver();
  } catch (...) {
    LogError(9);
  }
}

void Driver::SpoolJobV8() {
  if (settings_.SendV8 && worker_ && worker_->IsConnected())
    dd8Job_.Tick(settings_.PathForSoob, *worker_);
}

void Driver::SpoolJobV7() {
  if (!SimpleTCPClient1_.Connected())
    return;
  SettleV7Deliveries();
  if (!v7Window_.IsOpen())
    return;
  ddkJob_.Tick(
      settings_.PathForSoob,
      [this](const std::string& file, std::span<const std::uint8_t> message) {
        return SendJournaledV7Message(file, message);
      },
      [this](const std::string& file) { return v7Window_.Contains(file); });
}

// By the monotonic tick: a step of the wall clock neither invents a lost receiver nor hides one.
void Driver::SuperviseReceiver() {
  const auto silentMs = static_cast<std::int64_t>(receiverSilence_.MsAt(clock_.Ticks()));
  const bool alive =
      silentMs <= static_cast<std::int64_t>(std::llround(settings_.AttentionInterval * kMsPerDay));
  if (alive == ReceiverLinkOk_)
    return;
  ReceiverLinkOk_ = alive;
  PaintReceiverIndicator();
  if (settings_.SendV7) {
    const std::uint8_t data[2] = {0xFF, alive ? v7type::kLinkRestored : v7type::kLinkLost};
    SendStatusMessage(data);
  }
}

void Driver::LogError(std::int32_t code) {
  errorLog_.LogError(code);
}

// ---- Glyphs ------------------------------------------------------------------------------

void Driver::PaintReceiverIndicator() {
  ui_.PaintGlyph(LinkGlyph::Receiver, ReceiverLinkOk_, receiverActivity_);
}

void Driver::PaintV7Indicator() {
  ui_.PaintGlyph(LinkGlyph::V7, V7Connected_, V7MessageCount_);
}

void Driver::PaintV8Indicator() {
  ui_.PaintGlyph(LinkGlyph::V8, worker_ && worker_->IsConnected(), v8Activity_);
}

// ---- Port status and the V8 worker's view of the engine ----------------------------------

void Driver::SetPortName(const std::string& deviceName) {
  CommPortDriver1_.SetPortName(deviceName);
}

bool Driver::OpenPort() {
  return CommPortDriver1_.OpenPort();
}

void Driver::ClosePort() {
  CommPortDriver1_.ClosePort();
}

bool Driver::IsPortOpen() {
  return CommPortDriver1_.IsPortOpen();
}

void Driver::SetDtr(bool on) {
  CommPortDriver1_.SetDtr(on);
}

void Driver::WriteComPort(const std::string& value) {
  // A line break would add lines of its own to the INI file.
  if (value.find_first_of("\r\n") != std::string::npos) {
    throw std::runtime_error("a port name cannot hold a line break");
  }
  ini_.WriteString("main", "ComPort", value);
}

int Driver::ShowAccessDialog() {
  return ui_.ShowAccessDialog(closePassword_);
}

void Driver::ShowMessageWindow(const std::string& text) {
  ui_.ShowMessageWindow(text);
}

void Driver::PortControlsChanged(const PortControls& controls) {
  ui_.ShowPortControls(controls);
}

void Driver::WorkerFinished() {
  loop_.WakeUp();
}

void Driver::ScanBegins() {
  scanProfile_ = ini_.Load();
}

void Driver::ScanEnds() {
  scanProfile_.reset();
}

std::optional<std::string> Driver::ComPortsEntry(std::string_view name) {
  return (scanProfile_ ? scanProfile_ : ini_.Load())->Find("ComPorts", name);
}

std::string Driver::RememberedPortName() const {
  std::lock_guard lock(sharedMutex_);
  return rememberedPortName_;
}

void Driver::SetRememberedPortName(const std::string& name) {
  std::lock_guard lock(sharedMutex_);
  rememberedPortName_ = name;
}

void Driver::SendPortStatus() {
  if (!worker_)
    return;
  const Bytes body = v8::PortStatusBody(RememberedPortName(), CommPortDriver1_.IsPortOpen());
  worker_->Enqueue(v8::kPortStatusRecord, body);
}

void Driver::LogLine(const std::string& message) {
  const std::string line = NowText(clock_) + " " + message;
  loop_.RunAndWait([&] {
    for (const std::string& shown : logOutput_.Take(message, line, clock_.Ticks()))
      std::cout << shown << '\n';
    std::cout.flush();
    ui_.AppendLogLine(line);
  });
}

void Driver::ActivityStep() {
  loop_.RunAndWait([&] {
    v8Activity_ = StepActivity(v8Activity_);
    PaintV8Indicator();
  });
}

PortStatus Driver::CurrentPortStatus() {
  return PortStatus{RememberedPortName(), CommPortDriver1_.IsPortOpen()};
}

std::int32_t Driver::FirstNumber() {
  return settings_.FirstNumber;
}

ServerHostConfig Driver::ReadServerHost() {
  const ServerHostSettings s = ReadServerHostSettings(*ini_.Load());
  return ServerHostConfig{s.Address, s.Port, s.PacketSize};
}

}  // namespace drvnt
