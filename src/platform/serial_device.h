#pragma once
// The serial device under the serial port driver: exclusive open of a device path, line settings,
// purge, queue sizes, queued byte counts, reads and writes that never wait long, DTR and the modem
// status lines. One back end per OS; the driver sees only success or failure, and the last error
// as a code with a text for a log line. It never packetises, paces or retries: that is the
// driver's job.
//
// Port names are the receiver link's names ("\\.\COM1"); SerialDevicePath turns one into the path
// of this system's device. On POSIX: the "\\.\" prefix is dropped, then key NAME of section
// [ComPorts] of the INI file gives the device path when present ("COM1=/dev/ttyUSB0"), else
// "COMn" is /dev/ttyS{n-1}, else the name is taken below /dev.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace drvnt {

enum class SerialParity { kNone, kOdd, kEven, kMark, kSpace };
enum class SerialStopBits { kOne, kOneAndHalf, kTwo };

// What RTS does and whether CTS paces the output.
enum class SerialRtsMode {
  kOff,        // RTS off, CTS ignored
  kOn,         // RTS on, CTS ignored
  kHandshake,  // RTS handshake, output paced by CTS
  kToggle,     // RTS on only while sending
};

struct SerialLineSettings {
  std::uint32_t baudRate = 9600;  // bit/s
  int dataBits = 8;               // 5 to 8
  SerialParity parity = SerialParity::kNone;
  SerialStopBits stopBits = SerialStopBits::kOne;
  SerialRtsMode rts = SerialRtsMode::kOff;
  bool dtrOn = true;
  bool xonXoff = false;  // XON/XOFF pacing in both directions
  std::uint8_t xonChar = 0x11;
  std::uint8_t xoffChar = 0x13;
  std::uint32_t xonLimit = 0;  // free input bytes at which XON is sent
  std::uint32_t xoffLimit = 0;

  friend bool operator==(const SerialLineSettings&, const SerialLineSettings&) = default;
};

// How long reads and writes may wait, in milliseconds: a read interval, and for reads and for
// writes a constant plus a multiplier per byte.
struct SerialTimeouts {
  std::uint32_t readIntervalMs = 0;
  std::uint32_t readTotalMultiplierMs = 0;
  std::uint32_t readTotalConstantMs = 0;
  std::uint32_t writeTotalMultiplierMs = 0;
  std::uint32_t writeTotalConstantMs = 0;

  friend bool operator==(const SerialTimeouts&, const SerialTimeouts&) = default;
};

// Bytes waiting in the driver's queues.
struct SerialQueueCounts {
  std::uint32_t input = 0;
  std::uint32_t output = 0;
};

// The modem status lines. A device without modem lines (a pseudo-terminal) has them all off.
struct ModemLines {
  bool cts = false;
  bool dsr = false;
  bool ring = false;
  bool rlsd = false;

  bool AnyOn() const { return cts || dsr || ring || rlsd; }
};

enum class SerialErrorCode {
  kNone,
  kNotOpen,
  kNotFound,  // no such device
  kBusy,      // held by another program
  kAccessDenied,
  kNotSerial,    // the path is not a serial device
  kUnsupported,  // a line setting the device cannot take
  kIo,
};

struct SerialError {
  SerialErrorCode code = SerialErrorCode::kNone;
  std::string text;
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Opens an existing device for reading and writing, held exclusively: a second open of the same
  // device, from this or another program, fails until Close.
  virtual bool Open(const std::string& path) = 0;
  virtual bool IsOpen() const = 0;
  // Releases the device; nothing happens when it is not open.
  virtual void Close() = 0;

  virtual bool ApplyLineSettings(const SerialLineSettings& settings) = 0;
  virtual bool SetTimeouts(const SerialTimeouts& timeouts) = 0;
  // Aborts pending reads and writes and empties both queues.
  virtual bool Purge() = 0;
  virtual bool SetQueueSizes(std::uint32_t input, std::uint32_t output) = 0;

  // The status query: bytes queued in both directions; also clears a pending line-error
  // condition.
  virtual std::optional<SerialQueueCounts> QueryStatus() = 0;

  // At most `size` bytes of what is queued, without waiting for more; 0 when nothing is queued.
  virtual std::optional<std::size_t> Read(std::uint8_t* buffer, std::size_t size) = 0;
  // Bytes taken, possibly fewer than `size`; waits at most the write time-out for room.
  virtual std::optional<std::size_t> Write(const std::uint8_t* data, std::size_t size) = 0;

  virtual bool SetDtr(bool on) = 0;
  virtual std::optional<ModemLines> GetModemLines() = 0;

  // Why the last failed call failed.
  virtual SerialError LastError() const = 0;

  // A descriptor that the event loop can watch for readable bytes while the device is open; -1
  // when there is none, and the device must be polled.
  virtual int Descriptor() const { return -1; }
};

// The serial device of this system's OS.
std::unique_ptr<SerialDevice> CreateSystemSerialDevice();

// Key NAME of section [ComPorts]: the device path configured for a port name, if any.
using ComPortsLookup = std::function<std::optional<std::string>(std::string_view name)>;

// The device path for a port name, "" when the name cannot name a device (empty, or a bare name
// that would leave the device directory). An empty lookup configures nothing.
std::string SerialDevicePath(std::string_view portName, const ComPortsLookup& comPorts);

// Section [ComPorts] of the INI file at `iniPath`, read afresh at each lookup; a missing file or
// key gives nothing.
ComPortsLookup ComPortsFromIniFile(std::string iniPath);

}  // namespace drvnt
