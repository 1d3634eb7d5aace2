#pragma once
// A driver engine on the real Qt event loop with a fake clock, a temporary working directory, a
// recording front end and, where a test wants one, a V8 link whose connected flag the test sets.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/driver.h"
#include "platform/qt/qt_event_loop.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace drvnt::testing {

struct Painted {
  LinkGlyph glyph;
  bool linkUp;
  int counter;
};

class RecordingUi final : public OperatorUi {
 public:
  void PaintGlyph(LinkGlyph glyph, bool linkUp, int counter) override {
    painted.push_back({glyph, linkUp, counter});
  }
  void AppendLogLine(const std::string& line) override { logLines.push_back(line); }
  void ShowMessageWindow(const std::string& text) override {
    messages.push_back(text);
    if (onMessage)
      onMessage(text);
  }
  int ShowAccessDialog(const std::string& password) override {
    dialogPasswords.push_back(password);
    return accessAnswer;
  }
  void ShowStartTime(const std::string& text) override { startTime = text; }
  void ShowClosePassword(const std::string& password) override { shownPassword = password; }
  void SetV7RowVisible(bool visible) override { v7RowVisible = visible; }
  void ShowPortControls(const PortControls& c) override { controls = c; }
  void ReportError(const std::string& text) override { errors.push_back(text); }
  void RequestClose() override {
    ++closeRequests;
    if (onClose)
      closed = onClose();
  }

  std::vector<Painted> PaintsOf(LinkGlyph g) const {
    std::vector<Painted> out;
    for (const auto& p : painted) {
      if (p.glyph == g)
        out.push_back(p);
    }
    return out;
  }

  std::vector<Painted> painted;
  std::vector<std::string> logLines, messages, dialogPasswords, errors;
  std::string startTime, shownPassword;
  bool v7RowVisible = false;
  PortControls controls;
  int accessAnswer = kAccessCancelled;
  int closeRequests = 0;
  bool closed = false;
  std::function<bool()> onClose;
  // Runs while a message is "open", as the operator would see it.
  std::function<void(const std::string&)> onMessage;
};

// A V8 link without a thread: the test sets the connected flag and reads what was queued.
class FakeV8Worker final : public V8Worker {
 public:
  struct Packet {
    std::uint32_t type;
    std::vector<std::uint8_t> body;
    std::string spoolFile;
  };

  bool IsConnected() const override { return connected; }
  bool Enqueue(std::uint32_t type, std::span<const std::uint8_t> body,
               std::string spoolFile = {}) override {
    if (refuse)
      return false;
    queued.push_back({type, {body.begin(), body.end()}, std::move(spoolFile)});
    if (onEnqueue)
      onEnqueue(queued.back());
    return true;
  }
  void Start() override { started = true; }
  void Stop() override { stopped = true; }
  bool Finished() const override { return stopped; }
  void Join() override {}

  bool connected = false;
  bool refuse = false;
  bool started = false;
  bool stopped = false;
  std::vector<Packet> queued;
  // Runs inside Enqueue, as a worker would that is faster than the main thread.
  std::function<void(const Packet&)> onEnqueue;
};

class EngineTest : public ::testing::Test {
 protected:
  void TearDown() override { driver_.reset(); }

  void WriteIni(const std::string& text) { std::ofstream(dir_ + "/drvnt417.ini") << text; }

  // Creates the engine; with `fakeV8` the V8 link is a FakeV8Worker the test drives.
  Driver& MakeDriver(bool fakeV8 = true) {
    DriverEnvironment env{loop_, clock_, ui_, *spoolDir_, dir_, nullptr, nullptr};
    if (fakeV8) {
      env.v8Worker = [this](V8Host&, SpoolHandOver&) {
        auto w = std::make_unique<FakeV8Worker>();
        v8_ = w.get();
        return w;
      };
    }
    driver_ = std::make_unique<Driver>(std::move(env));
    ui_.onClose = [this] { return driver_->CloseRequest(); };
    return *driver_;
  }

  std::vector<std::string> Files(const std::string& ext) const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_)) {
      if (e.path().extension() == ext)
        out.push_back(e.path().string());
    }
    return out;
  }

  std::vector<std::uint8_t> FileBytes(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  TempDir tmp_;
  const std::string dir_ = tmp_.Path();
  QtEventLoop loop_;
  FakeClock clock_{46366.5, 1000};
  RecordingUi ui_;
  SpoolDir* spoolDir_ = &SystemSpoolDir();
  FakeV8Worker* v8_ = nullptr;
  std::unique_ptr<Driver> driver_;
};

}  // namespace drvnt::testing
