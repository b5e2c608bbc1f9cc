// A whole 512 KiB flash read (ReadSpi) on each access path against the simulated enclosure:
// the device time the simulator's latency model charges for it, and the host CPU time the
// console and the simulator spend on it. The goal is host CPU below 2 % of the device time.
#include <benchmark/benchmark.h>

#include "core/quiet_ui.h"
#include <time.h>

#include <vector>

#include "core/clock.h"
#include "core/console.h"
#include "device/detection.h"
#include "device/drive_table.h"
#include "protocol/spi_flash.h"
#include "sim/simulated_host.h"

namespace tervalo {
namespace {

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

constexpr std::uint32_t kFlashBytes = 0x80000;

void flashRead(benchmark::State& state, sim::AccessPath path) {
  sim::SimulatedHost host;
  host.addPlainDisk(0);
  host.addController(1, sim::healthyMirrorController(path));
  QuietUi ui;
  ManualClock clock;
  Console console(host, ui, clock);
  countDrivesAndDetect(console);
  if (console.device.controllerCount != 1) {
    state.SkipWithError("controller not detected");
    return;
  }
  console.protocol.upgradeTarget = 0;
  std::vector<std::uint8_t> buffer(kFlashBytes);

  double cpu = 0;
  std::uint64_t deviceUs = 0;
  for (auto _ : state) {
    const std::uint64_t device0 = host.deviceTimeUs();
    const double cpu0 = threadCpuSeconds();
    const bool ok = ReadSpi(console, 0, kFlashBytes, buffer.data());
    cpu += threadCpuSeconds() - cpu0;
    deviceUs += host.deviceTimeUs() - device0;
    if (!ok) {
      state.SkipWithError("ReadSpi failed");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
    state.PauseTiming();
    host.clearOrderLog();  // the simulator keeps every order; not part of a read
    state.ResumeTiming();
  }
  const double iterations = static_cast<double>(state.iterations());
  if (iterations == 0 || host.violationCount() != 0) {
    state.SkipWithError("no iterations or protocol violations");
    return;
  }
  const double deviceMs = static_cast<double>(deviceUs) / 1000.0 / iterations;
  const double cpuMs = cpu * 1000.0 / iterations;
  state.counters["device_ms"] = deviceMs;
  state.counters["host_cpu_ms"] = cpuMs;
  state.counters["cpu_pct_of_device"] = 100.0 * cpuMs / deviceMs;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kFlashBytes);
}

BENCHMARK_CAPTURE(flashRead, mailbox, sim::AccessPath::Mailbox)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(flashRead, vendor_ata, sim::AccessPath::Ata)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(flashRead, vendor_scsi_single, sim::AccessPath::VendorSingle)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(flashRead, vendor_scsi_double, sim::AccessPath::VendorDouble)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tervalo

BENCHMARK_MAIN();
