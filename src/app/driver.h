#pragma once
// The engine: owns the settings, the run-time state and the components of the driver (the serial
// port `CommPortDriver1`, the V7 client `SimpleTCPClient1`, the service timer `Timer2`, the
// reconnect timer `Timer3` and the V8 worker), and implements every non-visual handler. It reaches
// the operator only through `OperatorUi`, so it runs without a display.
//
// Everything here runs on the main thread, one handler at a time, except what the V8 worker calls
// through `V8Host` (on the worker thread): the log line and the activity step are handed to the
// main thread and waited for; the port status and the first number are read under a lock. The
// main thread never waits for the worker, except at shutdown, where it keeps serving the worker's
// hand-offs until the worker has stopped.

#include <array>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <span>
#include <string>

#include "app/deferred_call.h"
#include "app/error_log.h"
#include "app/event_acknowledgement.h"
#include "app/event_journal.h"
#include "app/operator_ui.h"
#include "app/port_manager.h"
#include "app/receiver_silence.h"
#include "app/repeated_line_filter.h"
#include "app/settings.h"
#include "app/spool_jobs.h"
#include "app/v7_delivery_window.h"
#include "core/memory_stream.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/files.h"
#include "platform/serial_device.h"
#include "receiver/comm_port_driver.h"
#include "receiver/event_record.h"
#include "receiver/frame_decoder.h"
#include "receiver/spool_writer.h"
#include "v7link/simple_tcp_client.h"
#include "v8link/v8_link.h"

namespace drvnt {

// The V8 worker as the engine owns it: the link, plus starting and stopping its thread.
class V8Worker : public V8Link {
 public:
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual bool Finished() const = 0;
  virtual void Join() = 0;
};

using V8WorkerFactory =
    std::function<std::unique_ptr<V8Worker>(V8Host& host, SpoolHandOver& handOver)>;

struct DriverEnvironment {
  EventLoop& loop;
  Clock& clock;
  OperatorUi& ui;
  SpoolDir& spool;
  // The startup directory: the INI file, the raw log and the error log live there.
  std::string directory;
  // The serial back end; the POSIX one when empty.
  std::function<std::unique_ptr<SerialDevice>()> serialDevice;
  // The V8 worker; the real one when empty.
  V8WorkerFactory v8Worker;
};

inline constexpr const char* kRawLogName = "drvnt417.log";
inline constexpr const char* kErrorLogName = "error.txt";
inline constexpr const char* kPortBusyAtStart = "Порт уже занят. Смените его.";
inline constexpr const char* kWrongPassword = "Не правильный пароль.";
inline constexpr std::uint16_t kV7Port = 7788;

class Driver final : private V8Host, private PortManagerHost {
 public:
  explicit Driver(DriverEnvironment env);
  ~Driver() override;

  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // The start-up sequence; runs once, before the event loop.
  void Start();
  // A request to close the main window: true when the window may close.
  bool CloseRequest();
  // SIGTERM or SIGINT: the program closes in order, as on the V7 server's close command.
  void CloseBySignal();
  // Stops the V8 worker in order and releases the links; idempotent, also run by the destructor.
  void Shutdown();

  // Handlers, under the names of the components they serve.
  void CommPortDriver1ReceivePacket(const std::uint8_t* packet, std::uint32_t dataSize);
  void Timer2Timer();
  void Timer3Timer();
  void SimpleTCPClient1Connected();
  void SimpleTCPClient1Disconnected();
  void SimpleTCPClient1Read(MemoryStream& stream);
  void SimpleTCPClient1Error(std::int32_t socket, std::int32_t errorCode,
                             const std::string& errorMsg);
  void SendStatusMessage(std::span<const std::uint8_t> data);
  void PaintReceiverIndicator();
  void PaintV7Indicator();
  void PaintV8Indicator();
  void LogError(std::int32_t code) override;

  // Port management: the port controls of the settings page.
  PortManager& Ports() { return ports_; }
  // A port-status record to the V8 worker, when it exists.
  void SendPortStatus() override;
  void SetRememberedPortName(const std::string& name) override;

  // State, read by the window and the tests.
  const Settings& settings() const { return settings_; }
  const std::string& ClosePassword() const { return closePassword_; }
  DateTime LastFrameTime() const { return LastFrameTime_; }
  bool ReceiverLinkOk() const { return ReceiverLinkOk_; }
  bool ServerCloseRequested() const { return ServerCloseRequested_; }
  bool V7Connected() const { return V7Connected_; }
  int V7MessageCount() const { return V7MessageCount_; }
  int ReceiverActivity() const { return receiverActivity_; }
  int V8Activity() const { return v8Activity_; }
  const EventRecord& LastEventRecord() const { return lastEventRecord_; }
  std::string RememberedPortName() const;
  TCommPortDriver& CommPortDriver1() { return CommPortDriver1_; }
  TSimpleTCPClient& SimpleTCPClient1() { return SimpleTCPClient1_; }
  V8Worker* Worker() { return worker_.get(); }
  SpoolHandOver& HandOver() { return handOver_; }
  const IniFile& Ini() const { return ini_; }

 private:
  // V8Host, called on the worker thread.
  void LogLine(const std::string& message) override;
  void ActivityStep() override;
  PortStatus CurrentPortStatus() override;
  std::int32_t FirstNumber() override;
  ServerHostConfig ReadServerHost() override;
  void WorkerFinished() override;

  // PortManagerHost.
  void SetPortName(const std::string& deviceName) override;
  bool OpenPort() override;
  void ClosePort() override;
  bool IsPortOpen() override;
  void SetDtr(bool on) override;
  void WriteComPort(const std::string& value) override;
  int ShowAccessDialog() override;
  void ShowMessageWindow(const std::string& text) override;
  void PortDidNotOpen() override;
  void PortControlsChanged(const PortControls& controls) override;
  void ScanBegins() override;
  void ScanEnds() override;
  std::optional<std::string> ComPortsEntry(std::string_view name);

  template <typename F>
  void Guard(F&& handler);
  void MakeClosePassword();
  void OpenConfiguredPort();
  void AppendRawLog(std::span<const std::uint8_t> packet);
  bool DecodeAndDispatch(std::span<const std::uint8_t> frame);
  HandOverOutcome HandOverV8(const EventRecord& record, const std::optional<std::string>& file);
  HandOverOutcome HandOverV7(std::span<const std::uint8_t> message, const std::string& file);
  bool SendV7Message(std::span<const std::uint8_t> message);
  bool SendJournaledV7Message(const std::string& file, std::span<const std::uint8_t> message);
  void SettleV7Deliveries();
  void DrainV7AtStop();
  void HandleServerMessage(std::span<const std::uint8_t, 555> piece);
  void SpoolJobV8();
  void SpoolJobV7();
  void SuperviseReceiver();

  DriverEnvironment env_;
  EventLoop& loop_;
  Clock& clock_;
  OperatorUi& ui_;
  SpoolDir& spool_;
  IniFile ini_;
  std::shared_ptr<const IniProfile> scanProfile_;  // the INI text of a port scan in progress
  ErrorLog errorLog_;
  SpoolWriter spoolWriter_;
  std::string rawLogPath_;

  Settings settings_;
  std::string startupDirectory_;
  std::string closePassword_;
  DateTime LastFrameTime_ = 0;  // shown and sent; the silence is judged by ticks
  ReceiverSilence receiverSilence_;
  bool ReceiverLinkOk_ = false;
  bool ServerCloseRequested_ = false;
  bool closeWithoutPassword_ = false;
  MemoryStream V7ReceiveBuffer_;
  bool V7Connected_ = false;
  int V7MessageCount_ = 0;
  int receiverActivity_ = 0;
  int v8Activity_ = 0;
  EventRecord lastEventRecord_{};
  FrameAssembler assembler_;
  std::uint32_t purgesSeen_ = 0;  // the port's purges the assembler has been told of
  EventAcknowledgement acknowledgement_{std::cerr,
                                        [this](const std::string& text) { ui_.ReportError(text); }};
  // Standard output of the V8 log; the window keeps every line.
  RepeatedLineFilter logOutput_;

  // Read by the V8 worker.
  mutable std::mutex sharedMutex_;
  std::string rememberedPortName_;

  SpoolHandOver handOver_;
  Dd8SpoolJob dd8Job_;
  DdkSpoolJob ddkJob_;
  EventJournal journal_{spoolWriter_, spool_};
  V7DeliveryWindow v7Window_{[this](const std::string& path) { ddkJob_.Delivered(path); }};
  TCommPortDriver CommPortDriver1_;
  TSimpleTCPClient SimpleTCPClient1_;
  std::unique_ptr<Timer> Timer2_;
  std::unique_ptr<Timer> Timer3_;
  PortManager ports_{static_cast<PortManagerHost&>(*this)};
  std::unique_ptr<V8Worker> worker_;
  // Start-up's message about its port, shown once start-up is over: it waits for the operator.
  DeferredCall portBusyAtStart_{loop_, [this] { ShowMessageWindow(kPortBusyAtStart); }};
  bool shutDown_ = false;
};

// Steps a link's activity counter: add 1, after 16 back to 0.
inline int StepActivity(int counter) {
  return counter + 1 > 16 ? 0 : counter + 1;
}

}  // namespace drvnt
