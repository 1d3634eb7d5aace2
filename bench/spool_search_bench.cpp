// The service timer's spool searches with a large backlog: 100 000 .ddk files in the spool
// directory. A search that finds a file stops at the first match; a search for the other kind,
// which finds nothing, is answered without reading the directory again while it is unchanged.
// Run: build/bench/spool_search_bench

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/files.h"

namespace {

char g_dir[64] = "/tmp/drvnt-bench-spool-XXXXXX";

const std::string& BacklogDir() {
  static const std::string dir = [] {
    if (mkdtemp(g_dir) == nullptr)
      std::abort();
    const std::string d = g_dir;
    for (int i = 0; i < 100000; ++i) {
      const std::string name = d + "/" + std::to_string(0x5265C00 + i) + ".ddk";
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT, 0644);
      if (fd >= 0)
        ::close(fd);
    }
    std::atexit([] { std::filesystem::remove_all(g_dir); });
    return d;
  }();
  return dir;
}

void BM_FirstMatchInBacklog(benchmark::State& state) {
  const std::string prefix = BacklogDir() + "/";
  for (auto _ : state)
    benchmark::DoNotOptimize(drvnt::SystemSpoolDir().FindFirst(prefix, "*.ddk"));
}
BENCHMARK(BM_FirstMatchInBacklog);

void BM_MissBesideBacklog(benchmark::State& state) {
  const std::string prefix = BacklogDir() + "/";
  for (auto _ : state)
    benchmark::DoNotOptimize(drvnt::SystemSpoolDir().FindFirst(prefix, "*.dd8"));
}
BENCHMARK(BM_MissBesideBacklog);

// For comparison: what every miss would cost if it read the whole directory.
void BM_FullListingOfBacklog(benchmark::State& state) {
  for (auto _ : state) {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(BacklogDir())) {
      benchmark::DoNotOptimize(e);
      ++n;
    }
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_FullListingOfBacklog)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
