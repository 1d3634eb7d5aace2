#include "receiver/comm_port_driver.h"

#include <algorithm>

#include "platform/files.h"
#include "receiver/frame_decoder.h"

namespace drvnt {
namespace {

std::uint32_t SpeedOf(TBaudRate rate) {
  static constexpr std::uint32_t kSpeeds[] = {0,    110,   300,   600,   1200,  2400,  4800,
                                              9600, 14400, 19200, 38400, 56000, 57600, 115200};
  return kSpeeds[static_cast<int>(rate)];
}

int DataBitsCount(TDataBits bits) {
  return 5 + static_cast<int>(bits);
}

SerialParity ParityOf(TParity parity) {
  switch (parity) {
    case TParity::ptODD:
      return SerialParity::kOdd;
    case TParity::ptEVEN:
      return SerialParity::kEven;
    case TParity::ptMARK:
      return SerialParity::kMark;
    case TParity::ptSPACE:
      return SerialParity::kSpace;
    case TParity::ptNONE:
      break;
  }
  return SerialParity::kNone;
}

SerialStopBits StopBitsOf(TStopBits bits) {
  switch (bits) {
    case TStopBits::sb1HALFBITS:
      return SerialStopBits::kOneAndHalf;
    case TStopBits::sb2BITS:
      return SerialStopBits::kTwo;
    case TStopBits::sb1BITS:
      break;
  }
  return SerialStopBits::kOne;
}

SerialRtsMode RtsModeOf(THwFlow flow) {
  switch (flow) {
    case THwFlow::hfNONERTSON:
      return SerialRtsMode::kOn;
    case THwFlow::hfRTSCTS:
      return SerialRtsMode::kHandshake;
    case THwFlow::hfRTSTOG:
      return SerialRtsMode::kToggle;
    case THwFlow::hfNONE:
      break;
  }
  return SerialRtsMode::kOff;
}

// Milliseconds that `bytes` take on the line at 10 bit times each, rounded to the nearest.
std::uint32_t TransmitTimeMs(std::uint32_t bytes, std::uint32_t bitsPerSecond) {
  if (bitsPerSecond == 0)
    return 0;
  const std::uint64_t bitTimesMs = std::uint64_t{bytes} * 10000u;
  return static_cast<std::uint32_t>((bitTimesMs + bitsPerSecond / 2) / bitsPerSecond);
}

std::uint32_t ClampBufSize(std::uint32_t size) {
  return std::clamp(size, TCommPortDriver::kMinBufSize, TCommPortDriver::kMaxBufSize);
}

// A read returns at once with what is queued; a write never blocks for long.
constexpr SerialTimeouts kPortTimeouts{1, 0, 1, 0, 10};

}  // namespace

TCommPortDriver::TCommPortDriver(EventLoop& loop, Clock& clock,
                                 std::unique_ptr<SerialDevice> device, ComPortsLookup comPorts)
    : loop_(loop),
      clock_(clock),
      device_(std::move(device)),
      comPorts_(std::move(comPorts)),
      timer_(loop.CreateTimer([this] { OnTimer(); })),
      inputBuffer_(inBufSize_) {}

TCommPortDriver::~TCommPortDriver() {
  ClosePort();
}

ComPortsLookup TCommPortDriver::CurrentDirectoryComPorts() {
  return [](std::string_view name) {
    return ComPortsFromIniFile(CurrentDirectory() + "/drvnt417.ini")(name);
  };
}

// --- Opening and closing ---

bool TCommPortDriver::OpenPort() {
  if (IsPortOpen())
    return true;
  if (!OpenDevice())
    return false;
  lineLost_ = false;
  open_.store(true, std::memory_order_release);
  StartWaiting();
  return true;
}

// The watch on the device's descriptor when it has one, else the polling timer.
void TCommPortDriver::StartWaiting() {
  StopWatching();
  const int fd = device_->Descriptor();
  if (fd < 0) {
    timer_->Start(pollingDelay_);
    return;
  }
  watch_ = loop_.WatchSocket(
      fd, [this] { OnReadable(); }, [] {});
  watch_->SetWriteEnabled(false);
  timer_->Stop();
  ArmWaiting(false);
}

void TCommPortDriver::StopWatching() {
  if (!watch_)
    return;
  watch_->SetReadEnabled(false);
  watch_->SetWriteEnabled(false);
  retiredWatches_.push_back(std::move(watch_));
}

void TCommPortDriver::OnTimer() {
  retiredWatches_.clear();
  PollPort();
  ArmWaiting(false);
}

void TCommPortDriver::OnReadable() {
  retiredWatches_.clear();
  lastQueued_ = 0;
  PollPort();
  ArmWaiting(lastQueued_ == 0 && held_ == 0);
}

// With a watch: reports of arriving bytes while nothing is pending, and while bytes are read as
// they come (held for the frame end) as long as the buffer has room; the timer while a packet is
// pending, while the line is lost, and for one period after a report that found nothing (a device
// that keeps reporting, say at a hang-up the status query still survives, is then polled).
void TCommPortDriver::ArmWaiting(bool reportFoundNothing) {
  if (!IsPortOpen() || (!watch_ && !lineLost_))
    return;
  const bool pending = packetStart_ != kNoPacketStart || held_ > 0;
  const bool readsAsItComes = deliverAtFrameEnd_ && held_ < inputBuffer_.size();
  if (watch_)
    watch_->SetReadEnabled(!lineLost_ && !reportFoundNothing && (!pending || readsAsItComes));
  if (lineLost_ || pending || reportFoundNothing) {
    if (!timer_->IsActive())
      timer_->Start(pollingDelay_);
  } else {
    timer_->Stop();
  }
}

// The device of `PortName` with the line settings and time-outs; closed again on failure.
bool TCommPortDriver::OpenDevice() {
  if (!device_->Open(SerialDevicePath(portName_, comPorts_)))
    return false;
  if (!ApplyLineSettings()) {
    device_->Close();
    return false;
  }
  device_->SetTimeouts(kPortTimeouts);
  return true;
}

void TCommPortDriver::ClosePort() {
  if (!IsPortOpen())
    return;
  timer_->Stop();
  StopWatching();
  device_->Close();
  held_ = 0;
  lineLost_ = false;
  open_.store(false, std::memory_order_release);
}

// A failed status query or read of a device that has hung up or gone: the line is lost. Other
// failures deliver nothing for this tick and leave the device alone.
void TCommPortDriver::LoseLineIfGone() {
  const SerialError why = device_->LastError();
  if (why.code != SerialErrorCode::kIo && why.code != SerialErrorCode::kNotFound)
    return;
  // Closed at once: a device that is held open cannot be released by the system, and the
  // adapter's next device may be a new one at the same path.
  StopWatching();
  device_->Close();
  lineLost_ = true;
  lastReopenAt_ = clock_.Ticks();
  packetStart_ = kNoPacketStart;
  held_ = 0;
  if (onLineLost_)
    onLineLost_(why);
}

void TCommPortDriver::TryReopen() {
  const std::uint32_t now = clock_.Ticks();
  if (TicksSince(now, lastReopenAt_) < reopenIntervalMs_)
    return;
  lastReopenAt_ = now;
  if (!OpenDevice())
    return;
  lineLost_ = false;
  StartWaiting();
  if (onLineBack_)
    onLineBack_();
}

SerialLineSettings TCommPortDriver::LineSettings() const {
  SerialLineSettings s;
  s.baudRate = LineSpeed();
  s.dataBits = DataBitsCount(dataBits_);
  s.parity = ParityOf(parity_);
  s.stopBits = StopBitsOf(stopBits_);
  s.rts = RtsModeOf(hwFlow_);
  s.dtrOn = enableDtrOnOpen_;
  s.xonXoff = swFlow_ == TSwFlow::sfXONXOFF;
  s.xonLimit = inBufSize_ / 4;
  s.xoffLimit = inBufSize_ / 4;
  return s;
}

// Line settings, then the purge, then the queue sizes; applied only when all three succeed.
bool TCommPortDriver::ApplyLineSettings() {
  const SerialLineSettings settings = LineSettings();
  if (!device_->ApplyLineSettings(settings))
    return false;
  appliedSpeed_ = settings.baudRate;
  const bool purged = device_->Purge();
  ++purges_;
  lastPurgeTick_ = clock_.Ticks();
  packetStart_ = kNoPacketStart;
  held_ = 0;
  return purged && device_->SetQueueSizes(inBufSize_, outBufSize_);
}

void TCommPortDriver::LineSettingChanged() {
  if (IsPortOpen())
    ApplyLineSettings();
}

// --- Sending ---

std::uint32_t TCommPortDriver::SendBytes(const std::uint8_t* data, std::uint32_t count) {
  if (!IsPortOpen() || lineLost_)
    return 0;
  std::uint32_t written = 0;
  std::uint32_t progressAt = clock_.Ticks();
  while (written < count) {
    std::uint16_t room = 0;
    if (!RoomAndLinesAllowSending(room))
      break;
    if (room > 0) {
      const std::size_t chunk = std::min<std::uint32_t>(count - written, room);
      const std::optional<std::size_t> n = device_->Write(data + written, chunk);
      if (n && *n > 0) {
        written += static_cast<std::uint32_t>(std::min(*n, chunk));
        progressAt = clock_.Ticks();
        continue;
      }
    }
    if (TicksSince(clock_.Ticks(), progressAt) > outputTimeout_)
      break;
  }
  return written;
}

// The room in the output queue, computed in 16 bits: none while the queue holds `OutBufSize` or
// more. False when sending must stop: with `CheckLineStatus`, all modem lines off.
bool TCommPortDriver::RoomAndLinesAllowSending(std::uint16_t& room) {
  const std::optional<SerialQueueCounts> counts = device_->QueryStatus();
  const auto signedRoom =
      counts ? static_cast<std::int16_t>(static_cast<std::uint16_t>(outBufSize_ - counts->output))
             : std::int16_t{0};
  room = signedRoom > 0 ? static_cast<std::uint16_t>(signedRoom) : 0;
  if (room == 0 || !checkLineStatus_)
    return true;
  const std::optional<ModemLines> lines = device_->GetModemLines();
  return lines && lines->AnyOn();
}

void TCommPortDriver::SetDtr(bool on) {
  if (IsPortOpen() && !lineLost_)
    device_->SetDtr(on);
}

// --- Receiving ---

void TCommPortDriver::PollPort() {
  if (!IsPortOpen())
    return;
  if (lineLost_) {
    TryReopen();
    return;
  }
  const std::optional<SerialQueueCounts> counts = device_->QueryStatus();
  if (!counts) {
    LoseLineIfGone();
    return;
  }
  const std::uint32_t queued = counts->input;
  lastQueued_ = queued;
  if (deliverAtFrameEnd_ || held_ > 0) {
    PollHeld(queued);
    return;
  }
  if (packetSize_ > 0 && queued >= static_cast<std::uint32_t>(packetSize_)) {
    DeliverFullPackets(queued);
    return;
  }
  if (PacketTimedOut()) {
    FlushIncompletePacket(queued);
    return;
  }
  if (queued > 0 && packetStart_ == kNoPacketStart)
    packetStart_ = clock_.Ticks();
}

bool TCommPortDriver::PacketTimedOut() const {
  return packetTimeout_ > 0 && packetStart_ != kNoPacketStart &&
         TicksSince(clock_.Ticks(), packetStart_) > static_cast<std::uint32_t>(packetTimeout_);
}

// The same steps over the bytes held in the input buffer and those still queued, with one more:
// held bytes that end in the frame terminator go at once.
void TCommPortDriver::PollHeld(std::uint32_t queued) {
  const std::uint32_t waiting = held_ + queued;
  if (packetSize_ > 0 && waiting >= static_cast<std::uint32_t>(packetSize_)) {
    DeliverFullHeldPackets(waiting);
    return;
  }
  if (queued > 0 && !ReadIntoHeld(queued))
    return;
  if (deliverAtFrameEnd_ && held_ > 0 && inputBuffer_[held_ - 1] == kFrameTerminator) {
    packetStart_ = kNoPacketStart;
    DeliverHeld();
    return;
  }
  if (PacketTimedOut()) {
    packetStart_ = kNoPacketStart;
    if (packetMode_ == TPacketMode::pmPass)
      DeliverHeld();
    held_ = 0;
    return;
  }
  if (held_ > 0 && packetStart_ == kNoPacketStart)
    packetStart_ = clock_.Ticks();
}

// Reads up to `count` queued bytes behind the held ones, never past the input buffer. False when
// the read failed.
bool TCommPortDriver::ReadIntoHeld(std::uint32_t count) {
  const std::size_t room = inputBuffer_.size() - std::min<std::size_t>(held_, inputBuffer_.size());
  const std::size_t wanted = std::min<std::size_t>(count, room);
  if (wanted == 0)
    return true;
  const std::optional<std::size_t> n = device_->Read(inputBuffer_.data() + held_, wanted);
  if (!n) {
    LoseLineIfGone();
    return false;
  }
  held_ += static_cast<std::uint32_t>(std::min(*n, wanted));
  return true;
}

// Full packets made of the held bytes and as many queued ones as complete them, as above.
void TCommPortDriver::DeliverFullHeldPackets(std::uint32_t waiting) {
  const auto size = static_cast<std::uint32_t>(packetSize_);
  do {
    if (!ReadIntoHeld(size - std::min(held_, size)))
      return;
    if (held_ < size)
      return;  // a short read: the rest is read at the next step
    DeliverHeld();
  } while (StepPastFullPacket(waiting, size));
}

// The held bytes as one packet; none are held afterwards.
void TCommPortDriver::DeliverHeld() {
  const std::uint32_t size = held_;
  held_ = 0;
  if (size > 0)
    Deliver(size);
}

// Packets of exactly `PacketSize` while that many wait. The start time moves on by the transmit
// time of each, so bytes left over count as old at once. Stops when the handler closed the port.
void TCommPortDriver::DeliverFullPackets(std::uint32_t queued) {
  const auto size = static_cast<std::uint32_t>(packetSize_);
  do {
    // The handler may have reopened the port with a smaller buffer.
    const std::size_t wanted = std::min<std::size_t>(size, inputBuffer_.size());
    const std::optional<std::size_t> n = device_->Read(inputBuffer_.data(), wanted);
    if (n && *n > 0)
      Deliver(std::min(*n, wanted));
    if (!n)
      LoseLineIfGone();
  } while (StepPastFullPacket(queued, size));
}

// After a full packet of `size` bytes: the start time moves on by its transmit time, so bytes
// left over count as old at once. False when no further full packet waits, or when the handler
// closed the port or the line was lost.
bool TCommPortDriver::StepPastFullPacket(std::uint32_t& waiting, std::uint32_t size) {
  if (!IsPortOpen() || lineLost_)
    return false;
  packetStart_ += TransmitTimeMs(size, appliedSpeed_);
  waiting -= size;
  if (waiting == 0)
    packetStart_ = kNoPacketStart;
  return waiting >= size;
}

// An incomplete packet whose time is up: passed on or dropped by `PacketMode`.
void TCommPortDriver::FlushIncompletePacket(std::uint32_t queued) {
  // The kernel's queue may hold more than the input buffer; the rest starts the next packet.
  const std::size_t wanted = std::min<std::size_t>(queued, inputBuffer_.size());
  const std::optional<std::size_t> n =
      wanted > 0 ? device_->Read(inputBuffer_.data(), wanted) : std::optional<std::size_t>{0};
  packetStart_ = kNoPacketStart;
  if (n && *n > 0 && packetMode_ == TPacketMode::pmPass)
    Deliver(std::min(*n, wanted));
  if (!n)
    LoseLineIfGone();
}

void TCommPortDriver::Deliver(std::size_t size) {
  if (onReceivePacket_)
    onReceivePacket_(*this, inputBuffer_.data(), static_cast<std::uint32_t>(size));
}

// --- Properties ---

void TCommPortDriver::SetPortName(std::string name) {
  if (!IsPortOpen())
    portName_ = std::move(name);
}

void TCommPortDriver::SetBaudRate(TBaudRate rate) {
  baudRate_ = rate;
  LineSettingChanged();
}

void TCommPortDriver::SetBaudRateValue(std::uint32_t bitsPerSecond) {
  baudRateValue_ = bitsPerSecond;
  LineSettingChanged();
}

void TCommPortDriver::SetDataBits(TDataBits bits) {
  dataBits_ = bits;
  LineSettingChanged();
}

void TCommPortDriver::SetStopBits(TStopBits bits) {
  stopBits_ = bits;
  LineSettingChanged();
}

void TCommPortDriver::SetParity(TParity parity) {
  parity_ = parity;
  LineSettingChanged();
}

void TCommPortDriver::SetHwFlow(THwFlow flow) {
  hwFlow_ = flow;
  LineSettingChanged();
}

void TCommPortDriver::SetSwFlow(TSwFlow flow) {
  swFlow_ = flow;
  LineSettingChanged();
}

std::uint32_t TCommPortDriver::LineSpeed() const {
  return baudRate_ == TBaudRate::brCustom ? baudRateValue_ : SpeedOf(baudRate_);
}

void TCommPortDriver::SetInBufSize(std::uint32_t size) {
  if (IsPortOpen())
    return;
  const auto packet = static_cast<std::uint32_t>(std::max<std::int16_t>(packetSize_, 0));
  ResizeInputBuffer(std::max(ClampBufSize(size), packet));
}

void TCommPortDriver::SetOutBufSize(std::uint32_t size) {
  if (!IsPortOpen())
    outBufSize_ = ClampBufSize(size);
}

// A packet never exceeds the input buffer it is read into: the buffer grows to match while the
// port is closed, and cannot grow while it is open.
void TCommPortDriver::SetPacketSize(std::int16_t size) {
  if (size <= 0) {
    packetSize_ = 0;
    return;
  }
  const std::uint32_t limit = IsPortOpen() ? inBufSize_ : kMaxBufSize;
  const std::uint32_t packet = std::min<std::uint32_t>(static_cast<std::uint32_t>(size), limit);
  packetSize_ = static_cast<std::int16_t>(packet);
  if (packet > inBufSize_)
    ResizeInputBuffer(packet);
}

void TCommPortDriver::SetPacketTimeout(std::int32_t ms) {
  packetTimeout_ = ms > 0 ? ms : 0;
}

void TCommPortDriver::SetPollingDelay(std::uint16_t ms) {
  pollingDelay_ = std::max(ms, kMinPollingDelay);
  if (IsPortOpen() && (!watch_ || timer_->IsActive()))
    timer_->Start(pollingDelay_);
}

void TCommPortDriver::ResizeInputBuffer(std::uint32_t size) {
  if (size == inBufSize_ && inputBuffer_.size() == size)
    return;
  inBufSize_ = size;
  inputBuffer_ = Bytes(size);
}

void ApplySystemValues(TCommPortDriver& port) {
  port.SetBaudRate(TBaudRate::brCustom);
  port.SetBaudRateValue(2400);
  port.SetDataBits(TDataBits::db8BITS);
  port.SetStopBits(TStopBits::sb1BITS);
  port.SetParity(TParity::ptNONE);
  port.SetHwFlow(THwFlow::hfNONE);
  port.SetSwFlow(TSwFlow::sfNONE);
  port.SetInBufSize(2048);
  port.SetOutBufSize(2048);
  port.SetPacketSize(256);
  port.SetPacketTimeout(80);
  port.SetPacketMode(TPacketMode::pmPass);
  port.SetPollingDelay(20);
  port.SetEnableDTROnOpen(true);
  port.SetOutputTimeout(80);
  port.SetCheckLineStatus(false);
}

}  // namespace drvnt
