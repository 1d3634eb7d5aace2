// What each event frame costs on the main thread, piece by piece: decoding the frame, looking up
// its partition override in a Razdels section of 10 000 keys, building the V8 event record, the V7
// event message and the .dd8 file, naming a spool file; and on the V8 worker: encoding a packet
// for the wire and parsing the headers of a reply.
// Run: build/bench/codec_bench

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/settings.h"
#include "core/spool_stem.h"
#include "receiver/event_record.h"
#include "receiver/frame_decoder.h"
#include "v8link/wire_codec.h"

namespace {

using drvnt::Bytes;

constexpr drvnt::DateTime kTime = 46000.5;

Bytes EventFrameBytes() {
  const std::string text = "9 1234 18 1131 01 015";
  Bytes frame(text.begin(), text.end());
  frame.back() = drvnt::kFrameTerminator;
  return frame;
}

drvnt::DecodedEvent SampleEvent() {
  const Bytes frame = EventFrameBytes();
  return drvnt::DecodeEvent(drvnt::ParseEventFrame(frame), -1, 4, true, kTime);
}

void BM_FrameDecoding(benchmark::State& state) {
  const Bytes frame = EventFrameBytes();
  for (auto _ : state) {
    if (!drvnt::IsTerminated(frame) || !drvnt::IsEventFrame(frame))
      state.SkipWithError("not an event frame");
    const drvnt::EventFrame parsed = drvnt::ParseEventFrame(frame);
    benchmark::DoNotOptimize(drvnt::PartitionOverrideKey(parsed));
    benchmark::DoNotOptimize(drvnt::DecodeEvent(parsed, -1, 4, true, kTime));
  }
}
BENCHMARK(BM_FrameDecoding);

void BM_EventRecordAndMessageBuilding(benchmark::State& state) {
  const drvnt::DecodedEvent event = SampleEvent();
  for (auto _ : state) {
    const drvnt::EventRecord record = drvnt::BuildEventRecord(event);
    benchmark::DoNotOptimize(drvnt::BuildDd8File(record));
    benchmark::DoNotOptimize(drvnt::BuildEventMessage(event, kTime));
  }
}
BENCHMARK(BM_EventRecordAndMessageBuilding);

void BM_V8PacketEncoding(benchmark::State& state) {
  const drvnt::EventRecord record = drvnt::BuildEventRecord(SampleEvent());
  std::int64_t sequence = 1;
  for (auto _ : state) {
    const Bytes packet = drvnt::v8::EncodePacket(drvnt::v8::kEventRecord, sequence++, record);
    benchmark::DoNotOptimize(drvnt::v8::EncodeTransmission(packet));
  }
}
BENCHMARK(BM_V8PacketEncoding);

void BM_V8ReplyParsing(benchmark::State& state) {
  const Bytes wire = drvnt::v8::EncodeTransmission(
      drvnt::v8::EncodePacket(drvnt::v8::kEventAcknowledgement, 7, {}));
  const std::span<const std::uint8_t> bytes(wire);
  for (auto _ : state) {
    const auto transport =
        drvnt::v8::DecodeTransportHeader(bytes.first<drvnt::v8::kTransportHeaderSize>());
    benchmark::DoNotOptimize(transport);
    benchmark::DoNotOptimize(
        drvnt::v8::DecodePacketHeader(bytes.subspan(drvnt::v8::kTransportHeaderSize)));
  }
}
BENCHMARK(BM_V8ReplyParsing);

void BM_SpoolFileStem(benchmark::State& state) {
  drvnt::DateTime when = kTime;
  for (auto _ : state) {
    benchmark::DoNotOptimize(drvnt::SpoolFileStem(when));
    when += drvnt::kOneSecond;
  }
}
BENCHMARK(BM_SpoolFileStem);

char g_dir[64] = "/tmp/drvnt-bench-razdels-XXXXXX";

// An INI file whose Razdels section holds 10 000 keys; the key looked up is the last.
const std::string& RazdelsDir() {
  static const std::string dir = [] {
    if (mkdtemp(g_dir) == nullptr)
      std::abort();
    std::ofstream ini(std::string(g_dir) + "/drvnt417.ini");
    ini << "[main]\nComPort=COM1\nFirstNumber=4\n[Razdels]\n";
    for (int n = 0; n < 9999; ++n)
      ini << 2000 + n << "_" << n % 8 << "=" << 100000 + n << "\n";
    ini << "1234_18=777\n[ComPorts]\nCOM1=/dev/ttyUSB0\n";
    std::atexit([] { std::filesystem::remove_all(g_dir); });
    return std::string(g_dir);
  }();
  return dir;
}

void BM_RazdelsLookupIn10000Keys(benchmark::State& state) {
  const drvnt::IniFile ini(RazdelsDir(), 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(ini.Load()->ReadInteger("Razdels", "1234_18", -1));
}
BENCHMARK(BM_RazdelsLookupIn10000Keys);

}  // namespace

BENCHMARK_MAIN();
