// tervalo-usbip-serve: exports an in-memory disk as a USB mass-storage device over USB/IP.
//
//   tervalo-usbip-serve [--sectors N] [--log FILE] [--unplug-after N] [--unplug-mode disconnect|fail]
//                       [--fixed-sense] [--vanish-at-lba L] [--hang-at-lba L]
//                       [--inquiry-version V] [--tcp PORT]
//
// Without --tcp it serves one connection on stdin/stdout, which is how QEMU's guestfwd=...-cmd:
// starts it. With --tcp it listens on 127.0.0.1:PORT for `usbip attach -r 127.0.0.1 -b 1-1`.
// In stdin/stdout mode nothing but the protocol may reach stdout or stderr (QEMU hands the
// command one socket for all three): diagnostics go to --log.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <memory>

#include "sim/usbip/mass_storage_device.h"
#include "sim/usbip/ram_disk_target.h"
#include "core/bytes.h"
#include "sim/usbip/usbip_server.h"

namespace {
// The in-memory disk with two faults: it vanishes (as an unplugged enclosure would) when a READ
// or WRITE touches one chosen LBA, and it hangs (never answers) on another.
class FaultyDisk : public tervalo::usbip::RamDiskTarget {
 public:
  FaultyDisk(std::uint32_t sectors, std::int64_t vanishAt, std::int64_t hangAt)
      : RamDiskTarget(sectors), vanishAt_(vanishAt), hangAt_(hangAt) {}
  tervalo::usbip::ScsiTargetResult execute(std::span<const std::uint8_t> cdb, bool dataIn, std::uint8_t* data,
                                           std::uint32_t length) override {
    if (cdb.size() >= 10 && (cdb[0] == 0x28 || cdb[0] == 0x2A)) {
      const auto lba = static_cast<std::int64_t>(tervalo::readBe(cdb, 2, 4));
      const auto count = static_cast<std::int64_t>(tervalo::readBe(cdb, 7, 2));
      auto touches = [&](std::int64_t at) { return at >= lba && at < lba + count; };
      tervalo::usbip::ScsiTargetResult fault;
      if (vanishAt_ >= 0 && touches(vanishAt_)) {
        fault.completed = false;
        return fault;
      }
      if (hangAt_ >= 0 && touches(hangAt_)) {
        fault.hang = true;
        return fault;
      }
    }
    return RamDiskTarget::execute(cdb, dataIn, data, length);
  }

 private:
  std::int64_t vanishAt_;
  std::int64_t hangAt_;
};
}  // namespace

int main(int argc, char** argv) {
  using namespace tervalo::usbip;
  CLI::App app{"Export an in-memory disk as a USB mass-storage device over USB/IP"};
  std::uint32_t sectors = 4096;
  std::string logPath;
  std::uint32_t unplugAfter = 0;
  std::string unplugMode = "disconnect";
  bool fixedSense = false;
  int tcpPort = -1;
  std::int64_t vanishAt = -1;
  std::int64_t hangAt = -1;
  int inquiryVersion = 6;
  app.add_option("--sectors", sectors, "Disk size in 512-byte sectors")->check(CLI::Range(1u, 1u << 22));
  app.add_option("--log", logPath, "Write one line per request to this file");
  app.add_option("--unplug-after", unplugAfter, "Drop the device when this CBW arrives (0: never)");
  app.add_option("--unplug-mode", unplugMode, "disconnect or fail")->check(CLI::IsMember({"disconnect", "fail"}));
  app.add_option("--vanish-at-lba", vanishAt, "Drop the device when a READ(10)/WRITE(10) touches this LBA");
  app.add_option("--hang-at-lba", hangAt, "Never answer a READ(10)/WRITE(10) that touches this LBA");
  app.add_option("--inquiry-version", inquiryVersion, "INQUIRY VERSION byte (4 = SPC-2, 6 = SPC-4)")
      ->check(CLI::Range(0, 7));
  app.add_flag("--fixed-sense", fixedSense, "Hand ATA registers over in fixed-format sense when asked for fixed");
  app.add_option("--tcp", tcpPort, "Listen on 127.0.0.1:PORT instead of serving stdin/stdout")
      ->check(CLI::Range(0, 65535));
  CLI11_PARSE(app, argc, argv);

  std::ofstream log;
  if (!logPath.empty()) {
    log.open(logPath, std::ios::app);
    if (!log) {
      std::cerr << "tervalo-usbip-serve: cannot write " << logPath << "\n";
      return 2;
    }
  }
  FaultyDisk disk(sectors, vanishAt, hangAt);
  disk.fillPattern();
  DeviceIdentity identity;
  identity.inquiryVersion = static_cast<std::uint8_t>(inquiryVersion);
  MassStorageDevice device(disk, identity,
                           fixedSense ? DescriptorSenseOnFixedRequest::Convert : DescriptorSenseOnFixedRequest::Keep);
  ServerOptions options;
  options.unplugAfterCommands = unplugAfter;
  options.unplugMode = unplugMode == "fail" ? UnplugMode::FailRequests : UnplugMode::Disconnect;
  options.log = log.is_open() ? &log : nullptr;
  Server server(device, options);

  if (tcpPort >= 0) {
    std::uint16_t bound = 0;
    const int fd = server.listenTcp(static_cast<std::uint16_t>(tcpPort), bound);
    if (fd < 0) {
      std::cerr << "tervalo-usbip-serve: cannot listen on 127.0.0.1:" << tcpPort << "\n";
      return 2;
    }
    std::cout << "Listening on 127.0.0.1:" << bound << " (bus id 1-1)" << std::endl;
    server.serveTcp(fd);
    ::close(fd);
    return 0;
  }
  const ServeEnd end = server.serve(STDIN_FILENO, STDOUT_FILENO);
  if (options.log) *options.log << "usbip: served, end " << static_cast<int>(end) << std::endl;
  return end == ServeEnd::ProtocolError || end == ServeEnd::IoError ? 1 : 0;
}
