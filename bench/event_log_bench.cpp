// Host cost of a detection pass: four unchanged pages (no file write), and a changing pass that
// rewrites a day file of 100,000 lines.
#include <benchmark/benchmark.h>

#include "core/quiet_ui.h"
#include <unistd.h>

#include <filesystem>

#include "core/console.h"
#include "eventlog/event_log.h"
#include "protocol/status_record.h"

namespace tervalo {
namespace {

// A host without disks: the passes never touch one.
class NoDiskHost : public RawDiskHost {
 public:
  std::vector<VolumeInfo> listVolumes() override { return {}; }
  HostHandle openPhysicalDrive(int) override { return kInvalidHandle; }
  HostHandle openVolume(const std::string&) override { return kInvalidHandle; }
  bool volumeExtent(HostHandle, DiskExtent&) override { return false; }
  bool sendScsi(HostHandle, const ScsiRequest&) override { return false; }
  bool sendAta(HostHandle, AtaRegisters&, std::uint8_t*, std::uint32_t) override { return false; }
  void rescanBus(HostHandle) override {}
  void close(HostHandle) override {}
};

Sector healthyRecord() {
  Sector r{};
  r[kPortStateOffset] = kBothInitialized;
  r[kSystemRaidModeOffset] = kRaidMirror;
  r[kSataGenerationOffset] = 0x22;
  for (std::size_t i = 0; i < kSerialLength; ++i) r[kP0SerialOffset + i] = r[kP1SerialOffset + i] = 'A' + i % 26;
  for (std::size_t i = 0; i < kModelLength; ++i) r[kP0ModelOffset + i] = r[kP1ModelOffset + i] = 'M';
  writeLe(r, kArrayCapacityOffset, kCapacityWidth, 976773168);
  writeLe(r, kP0CapacityOffset, kCapacityWidth, 976773168);
  writeLe(r, kP1CapacityOffset, kCapacityWidth, 976773168);
  return r;
}

struct Bench {
  explicit Bench(const char* name) {
    dir = std::filesystem::temp_directory_path() / (std::string(name) + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    console.eventLog.folder = dir;
    console.eventLog.timeFormat = {"%d/%m/%Y", "%H:%M:%S"};
    console.device.controllerCount = 4;
    for (int p = 0; p < 4; ++p) {
      console.device.controllerList[p] = static_cast<std::uint32_t>(0x40 | (p + 1));
      console.protocol.statusRecords[p] = healthyRecord();
    }
    UpdateEventLog(console, 0x0F);
    console.monitor.firstPass = false;
  }
  ~Bench() { std::filesystem::remove_all(dir); }

  std::filesystem::path dir;
  NoDiskHost host;
  QuietUi ui;
  ManualClock clock{LocalDateTime{2010, 3, 15, 9, 41, 7}};
  Console console{host, ui, clock};
};

void BM_UnchangedPass(benchmark::State& state) {
  Bench b("tervalo-bench-steady");
  const auto size = std::filesystem::file_size(b.dir / "100315.log");
  for (auto _ : state) {
    UpdateEventLog(b.console, 0x0F);
    benchmark::DoNotOptimize(b.console.eventLog.buffer.lineCount());
  }
  if (std::filesystem::file_size(b.dir / "100315.log") != size) state.SkipWithError("an unchanged pass wrote");
}
BENCHMARK(BM_UnchangedPass);

void BM_ChangingPassLargeDay(benchmark::State& state) {
  Bench b("tervalo-bench-large");
  std::vector<std::string> lines = b.console.eventLog.buffer.lines();
  while (lines.size() < 100000) lines.push_back("D1 P0 --> P1 37%, 15/03/2010 11:02:55");
  b.console.eventLog.buffer.replace(std::move(lines));
  bool removed = false;
  for (auto _ : state) {
    removed = !removed;
    b.console.protocol.statusRecords[0][kPortStateOffset] = removed ? 0x24 : 0x22;
    UpdateEventLog(b.console, 0x0F);
  }
  state.counters["lines"] = static_cast<double>(b.console.eventLog.buffer.lineCount());
  state.counters["file_MB"] = static_cast<double>(std::filesystem::file_size(b.dir / "100315.log")) / 1e6;
}
BENCHMARK(BM_ChangingPassLargeDay)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tervalo

BENCHMARK_MAIN();
