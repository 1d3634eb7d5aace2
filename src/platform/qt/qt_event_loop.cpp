#include "platform/qt/qt_event_loop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

namespace drvnt {
namespace {

class QtTimer final : public Timer {
 public:
  explicit QtTimer(std::function<void()> onTimeout) {
    // A coarse timer may fire 5 % early or late, which moves the 80 ms packet boundary of the
    // serial port into a frame.
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [fn = std::move(onTimeout)] { fn(); });
  }
  void Start(std::uint32_t periodMs) override { timer_.start(static_cast<int>(periodMs)); }
  void Stop() override { timer_.stop(); }
  bool IsActive() const override { return timer_.isActive(); }

 private:
  QTimer timer_;
};

class QtSocketWatch final : public SocketWatch {
 public:
  QtSocketWatch(int fd, std::function<void()> onReadable, std::function<void()> onWritable)
      : read_(fd, QSocketNotifier::Read), write_(fd, QSocketNotifier::Write) {
    QObject::connect(&read_, &QSocketNotifier::activated, [fn = std::move(onReadable)] { fn(); });
    QObject::connect(&write_, &QSocketNotifier::activated, [fn = std::move(onWritable)] { fn(); });
  }
  void SetReadEnabled(bool on) override { read_.setEnabled(on); }
  void SetWriteEnabled(bool on) override { write_.setEnabled(on); }

 private:
  QSocketNotifier read_;
  QSocketNotifier write_;
};

}  // namespace

QtEventLoop::QtEventLoop() : mainThread_(std::this_thread::get_id()) {}

QtEventLoop::~QtEventLoop() = default;

std::unique_ptr<Timer> QtEventLoop::CreateTimer(std::function<void()> onTimeout) {
  return std::make_unique<QtTimer>(std::move(onTimeout));
}

std::unique_ptr<SocketWatch> QtEventLoop::WatchSocket(int fd, std::function<void()> onReadable,
                                                      std::function<void()> onWritable) {
  return std::make_unique<QtSocketWatch>(fd, std::move(onReadable), std::move(onWritable));
}

void QtEventLoop::RunAndWait(std::function<void()> fn) {
  if (std::this_thread::get_id() == mainThread_) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(&context_, std::move(fn), Qt::BlockingQueuedConnection);
}

void QtEventLoop::WaitForEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

// A queued call is an event of its own: posted before the wait begins, it is still pending then.
void QtEventLoop::WakeUp() {
  QMetaObject::invokeMethod(
      &context_, [] {}, Qt::QueuedConnection);
}

void QtEventLoop::Quit() {
  QCoreApplication::quit();
}

}  // namespace drvnt
