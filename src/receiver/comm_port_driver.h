#pragma once
// TCommPortDriver, the serial port to the alarm receiver: opens the device of `PortName` with the
// line settings, polls it from a timer of the main thread, groups what arrives into packets for
// `OnReceivePacket`, sends bytes without blocking for long, switches DTR.
//
// Packets: bytes first seen at one tick are delivered together at the first tick that finds them
// more than `PacketTimeout` ms old, whatever arrived meanwhile; when `PacketSize` bytes or more
// wait, they go out as packets of exactly `PacketSize` bytes, cut without regard to frames. The
// packet bytes are the driver's input buffer, valid only during the call.
//
// With `DeliverAtFrameEnd` on (off unless set), whatever arrives is read at once and held in the
// input buffer, and held bytes that end in the frame terminator 0x14 are delivered without
// waiting for `PacketTimeout`: the receiver sends one frame and waits for its acknowledgement, so
// a terminator at the end of what has arrived ends a frame. All other rules stay: bytes without
// it wait for the timeout, `PacketSize` bytes go out as a full packet.
//
// A device with a descriptor is watched by the event loop for readable bytes; the timer then runs
// only while a packet is pending (its time-out is counted on the timer's ticks as before), while
// the line is lost, and for one period after a report that found nothing to read. A device without
// one is polled by the timer throughout.
//
// A device that goes away under an open port (a USB adapter unplugged: the tty hangs up, its
// status queries and reads fail) is closed at once and opened again at the same path every
// `ReopenInterval` ms until it is back; meanwhile the port stays open for its users, since nobody
// stopped it, and nothing arrives or goes out. The loss and the return are each reported once.
//
// Everything runs on the main thread, except that `IsPortOpen` may be read from any thread. It
// never allocates per tick, never reads more than its input buffer holds, and never blocks longer
// than about `OutputTimeout` ms without progress.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/serial_device.h"

namespace drvnt {

enum class TBaudRate {
  brCustom,  // `BaudRateValue` is the speed
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
};
enum class TDataBits { db5BITS, db6BITS, db7BITS, db8BITS };
enum class TStopBits { sb1BITS, sb1HALFBITS, sb2BITS };
enum class TParity { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum class THwFlow { hfNONE, hfNONERTSON, hfRTSCTS, hfRTSTOG };
enum class TSwFlow { sfNONE, sfXONXOFF };
enum class TPacketMode { pmDiscard, pmPass };

class TCommPortDriver {
 public:
  using ReceivePacketHandler = std::function<void(
      TCommPortDriver& sender, const std::uint8_t* packet, std::uint32_t dataSize)>;

  static constexpr std::uint32_t kMinBufSize = 128;
  static constexpr std::uint32_t kMaxBufSize = 8192;
  static constexpr std::uint16_t kMinPollingDelay = 5;
  static constexpr std::uint32_t kNoPacketStart = 0xFFFFFFFF;

  // `comPorts` is section [ComPorts] of the INI file; the default reads "drvnt417.ini" of the
  // current directory at each OpenPort.
  TCommPortDriver(EventLoop& loop, Clock& clock,
                  std::unique_ptr<SerialDevice> device = CreateSystemSerialDevice(),
                  ComPortsLookup comPorts = CurrentDirectoryComPorts());
  ~TCommPortDriver();
  TCommPortDriver(const TCommPortDriver&) = delete;
  TCommPortDriver& operator=(const TCommPortDriver&) = delete;

  static ComPortsLookup CurrentDirectoryComPorts();

  // --- Operations ---
  // True when the port is open afterwards; false leaves it closed.
  bool OpenPort();
  void ClosePort();
  bool IsPortOpen() const { return open_.load(std::memory_order_acquire); }
  // The number of bytes written: 0 on a closed port, fewer than `count` when the output made no
  // progress for `OutputTimeout` ms or the modem lines went off under `CheckLineStatus`.
  std::uint32_t SendBytes(const std::uint8_t* data, std::uint32_t count);
  void SetDtr(bool on);
  // One polling step; the timer or the watch on the device runs it while the port is open.
  void PollPort();

  // --- Properties ---
  const std::string& PortName() const { return portName_; }
  // Ignored while the port is open.
  void SetPortName(std::string name);

  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate rate);
  std::uint32_t BaudRateValue() const { return baudRateValue_; }
  void SetBaudRateValue(std::uint32_t bitsPerSecond);
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits bits);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits bits);
  TParity Parity() const { return parity_; }
  void SetParity(TParity parity);
  THwFlow HwFlow() const { return hwFlow_; }
  void SetHwFlow(THwFlow flow);
  TSwFlow SwFlow() const { return swFlow_; }
  void SetSwFlow(TSwFlow flow);

  // Both kept within 128..8192, the input size never below `PacketSize`; unchanged while open.
  std::uint32_t InBufSize() const { return inBufSize_; }
  void SetInBufSize(std::uint32_t size);
  std::uint32_t OutBufSize() const { return outBufSize_; }
  void SetOutBufSize(std::uint32_t size);

  // 0 = none. Raises `InBufSize` to match; at most 8192, and while open at most `InBufSize`.
  std::int16_t PacketSize() const { return packetSize_; }
  void SetPacketSize(std::int16_t size);
  // 0 = none.
  std::int32_t PacketTimeout() const { return packetTimeout_; }
  void SetPacketTimeout(std::int32_t ms);
  TPacketMode PacketMode() const { return packetMode_; }
  void SetPacketMode(TPacketMode mode) { packetMode_ = mode; }
  // At least 5; a change while open restarts the timer with the new period.
  std::uint16_t PollingDelay() const { return pollingDelay_; }
  void SetPollingDelay(std::uint16_t ms);
  bool EnableDTROnOpen() const { return enableDtrOnOpen_; }
  void SetEnableDTROnOpen(bool on) { enableDtrOnOpen_ = on; }
  std::uint16_t OutputTimeout() const { return outputTimeout_; }
  void SetOutputTimeout(std::uint16_t ms) { outputTimeout_ = ms; }
  bool CheckLineStatus() const { return checkLineStatus_; }
  void SetCheckLineStatus(bool on) { checkLineStatus_ = on; }
  // Off by default; see the header comment. Held bytes are delivered by the old rules when it is
  // switched off.
  bool DeliverAtFrameEnd() const { return deliverAtFrameEnd_; }
  void SetDeliverAtFrameEnd(bool on) { deliverAtFrameEnd_ = on; }

  void SetOnReceivePacket(ReceivePacketHandler handler) { onReceivePacket_ = std::move(handler); }
  // How often the input was purged (on every open and change of the line settings): bytes that
  // arrived before a purge are gone, so the packet after it may be the rest of a cut frame.
  std::uint32_t Purges() const { return purges_; }
  std::uint32_t LastPurgeTick() const { return lastPurgeTick_; }

  // The line that went away and came back; see the header comment.
  static constexpr std::uint32_t kDefaultReopenIntervalMs = 3000;
  void SetOnLineLost(std::function<void(const SerialError& why)> handler) {
    onLineLost_ = std::move(handler);
  }
  void SetOnLineBack(std::function<void()> handler) { onLineBack_ = std::move(handler); }
  bool LineLost() const { return lineLost_; }
  std::uint32_t ReopenInterval() const { return reopenIntervalMs_; }
  void SetReopenInterval(std::uint32_t ms) { reopenIntervalMs_ = ms; }

  void SetComPortsLookup(ComPortsLookup comPorts) { comPorts_ = std::move(comPorts); }
  // The device that `PortName` opens.
  std::string DevicePath() const { return SerialDevicePath(portName_, comPorts_); }
  // Why the device last failed, for a log line.
  SerialError LastDeviceError() const { return device_->LastError(); }

  // The line speed in bit/s: `BaudRateValue` for `brCustom`, else the speed of `BaudRate`.
  std::uint32_t LineSpeed() const;

 private:
  SerialLineSettings LineSettings() const;
  bool OpenDevice();
  bool ApplyLineSettings();
  void LoseLineIfGone();
  void TryReopen();
  void LineSettingChanged();
  void StartWaiting();
  void StopWatching();
  void OnTimer();
  void OnReadable();
  void ArmWaiting(bool reportFoundNothing);
  void ResizeInputBuffer(std::uint32_t size);

  void DeliverFullPackets(std::uint32_t queued);
  bool StepPastFullPacket(std::uint32_t& waiting, std::uint32_t size);
  void FlushIncompletePacket(std::uint32_t queued);
  void PollHeld(std::uint32_t queued);
  bool ReadIntoHeld(std::uint32_t count);
  void DeliverFullHeldPackets(std::uint32_t waiting);
  void DeliverHeld();
  bool PacketTimedOut() const;
  void Deliver(std::size_t size);
  bool RoomAndLinesAllowSending(std::uint16_t& room);

  EventLoop& loop_;
  Clock& clock_;
  std::unique_ptr<SerialDevice> device_;
  ComPortsLookup comPorts_;
  std::unique_ptr<Timer> timer_;
  std::unique_ptr<SocketWatch> watch_;  // none while polled by the timer alone
  // Watches of a closed device, disabled, released at the next step: the one that runs may be
  // among them.
  std::vector<std::unique_ptr<SocketWatch>> retiredWatches_;
  std::uint32_t lastQueued_ = 0;  // what the last status query found
  std::atomic<bool> open_{false};

  std::string portName_ = "\\\\.\\COM1";
  TBaudRate baudRate_ = TBaudRate::br9600;
  std::uint32_t baudRateValue_ = 9600;
  TDataBits dataBits_ = TDataBits::db8BITS;
  TStopBits stopBits_ = TStopBits::sb1BITS;
  TParity parity_ = TParity::ptNONE;
  THwFlow hwFlow_ = THwFlow::hfNONERTSON;
  TSwFlow swFlow_ = TSwFlow::sfNONE;
  std::uint32_t inBufSize_ = 2048;
  std::uint32_t outBufSize_ = 2048;
  std::int16_t packetSize_ = 0;
  std::int32_t packetTimeout_ = 0;
  TPacketMode packetMode_ = TPacketMode::pmDiscard;
  std::uint16_t pollingDelay_ = 50;
  bool enableDtrOnOpen_ = true;
  std::uint16_t outputTimeout_ = 500;
  bool checkLineStatus_ = false;
  bool deliverAtFrameEnd_ = false;
  ReceivePacketHandler onReceivePacket_;

  Bytes inputBuffer_;
  std::uint32_t packetStart_ = kNoPacketStart;
  // Bytes already read into the input buffer and not yet delivered (`DeliverAtFrameEnd` only).
  std::uint32_t held_ = 0;
  std::uint32_t purges_ = 0;
  std::uint32_t lastPurgeTick_ = 0;
  // The speed last set on the device: what the bytes really took on the line.
  std::uint32_t appliedSpeed_ = 0;

  bool lineLost_ = false;
  std::uint32_t lastReopenAt_ = 0;
  std::uint32_t reopenIntervalMs_ = kDefaultReopenIntervalMs;
  std::function<void(const SerialError&)> onLineLost_;
  std::function<void()> onLineBack_;
};

// The values this system gives the receiver's port: 2400 bit/s 8N1 without flow control, 2048-byte
// queues, packets of 256 bytes or whatever is more than 80 ms old, polled every 20 ms, DTR on,
// 80 ms output time-out, modem lines not checked. `PortName` and the handler are the caller's.
void ApplySystemValues(TCommPortDriver& port);

}  // namespace drvnt
