// A large INI file: a Razdels section of 20 MiB (a big station's, or a mistake), with the
// override looked up at its end and [ComPorts] after it. What an event frame and a scanned port
// cost: the stamp check of an unchanged file, a Razdels lookup, a [ComPorts] lookup; and what a
// changed file costs once: reading and finding its sections.
// Run: build/bench/ini_file_bench

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/settings.h"

namespace {

char g_dir[64] = "/tmp/drvnt-bench-ini-XXXXXX";

std::string LargeIniText() {
  std::string text = "[main]\nComPort=COM1\nFirstNumber=4\n[Razdels]\n";
  for (int n = 1000; text.size() < 20u * 1024 * 1024; ++n)
    text +=
        std::to_string(n) + "_" + std::to_string(n % 7) + "=" + std::to_string(n + 100000) + "\n";
  return text + "123_1=777\n[ComPorts]\nCOM1=/dev/ttyUSB0\n";
}

const std::string& IniDir() {
  static const std::string dir = [] {
    if (mkdtemp(g_dir) == nullptr)
      std::abort();
    std::ofstream(std::string(g_dir) + "/drvnt417.ini") << LargeIniText();
    std::atexit([] { std::filesystem::remove_all(g_dir); });
    return std::string(g_dir);
  }();
  return dir;
}

void BM_UnchangedFileAndRazdelsLookup(benchmark::State& state) {
  const drvnt::IniFile ini(IniDir(), 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(ini.Load()->ReadInteger("Razdels", "123_1", -1));
}
BENCHMARK(BM_UnchangedFileAndRazdelsLookup)->Unit(benchmark::kMillisecond);

void BM_UnchangedFileAndComPortsLookup(benchmark::State& state) {
  const drvnt::IniFile ini(IniDir(), 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(ini.Load()->Find("ComPorts", "COM1"));
}
BENCHMARK(BM_UnchangedFileAndComPortsLookup)->Unit(benchmark::kMicrosecond);

void BM_ReadAndIndexTheFile(benchmark::State& state) {
  for (auto _ : state) {
    const drvnt::IniFile ini(IniDir(), 0);
    benchmark::DoNotOptimize(ini.Load());
  }
}
BENCHMARK(BM_ReadAndIndexTheFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
