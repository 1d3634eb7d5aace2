// Stopping the engine while the V8 worker waits for a reply: the main thread waits for the worker
// without spinning, still serving its hand-offs, and the stop ends once that exchange is over.

#include <time.h>

#include <chrono>
#include <string>

#include "engine_fixture.h"
#include "support/run_until.h"
#include "v8link/v8_test_server.h"

namespace drvnt::testing {
namespace {

double ThreadCpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

TEST_F(EngineTest, ShutdownWaitsForTheWorkerMidExchangeWithoutSpinning) {
  // The last packet of the hello set is answered too late for its reply wait: the stop finds the
  // worker waiting, and the wait lasts until that exchange is given up, however late the test
  // itself gets to the stop on a busy machine.
  V8TestServer server([](const ServerPacket& p) {
    ServerAction a{Reply(0x02000000)};
    a.delayMs = p.index == 3 ? 2500 : 0;
    return a;
  });
  WriteIni("[main]\nSendV7=0\nSendV8=1\n[ServerHost]\nAddress=" + std::string(kV8TestAddress) +
           "\nPort=" + std::to_string(server.Port()) + "\n");
  Driver& d = MakeDriver(false);
  d.Start();
  ASSERT_TRUE(RunUntil([&] { return server.Packets().size() >= 4; }));

  const auto t0 = std::chrono::steady_clock::now();
  const double cpu0 = ThreadCpuMs();
  d.Shutdown();
  const double cpuMs = ThreadCpuMs() - cpu0;
  const double wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GT(wallMs, 300.0);  // the stop did wait for the exchange
  EXPECT_LT(wallMs, 3000.0);
  EXPECT_LT(cpuMs, wallMs / 2) << "the main thread spun while it waited";
}

}  // namespace
}  // namespace drvnt::testing
