#pragma once
// Drives the simulated host through RawDiskHost calls with the console's own command blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/bytes.h"
#include "device/transports.h"
#include "sim/simulated_host.h"

namespace tervalo::sim::testing {

inline void stamp(Sector& s) {
  s[0] = '3';
  s[1] = 'X';
  std::uint32_t sum = 0;
  for (int i = 7; i <= 509; ++i) sum += s[i];
  s[510] = static_cast<std::uint8_t>(sum);
  s[511] = static_cast<std::uint8_t>(sum >> 8);
}

struct SimDriver {
  SimulatedHost& host;
  HostHandle handle;
  Sector command{};  // never cleared between orders, as the console keeps it

  SimDriver(SimulatedHost& h, int drive) : host(h), handle(h.openPhysicalDrive(drive)) {}
  ~SimDriver() {
    if (handle >= 0) host.close(handle);
  }

  bool read(std::uint32_t lba, std::uint8_t* out) {
    return host.sendScsi(handle, buildReadSectorsRequest(lba, out, 1));
  }
  Sector read(std::uint32_t lba) {
    Sector s{};
    EXPECT_TRUE(read(lba, s.data())) << "READ(10) of LBA " << lba;
    return s;
  }
  bool write(std::uint32_t lba, Sector& s) { return host.sendScsi(handle, buildWriteSectorsRequest(lba, s.data(), 1)); }
  // An order sector: code, sub-code and address in bytes 2..6, stamped after the payload.
  bool order(std::uint32_t lba, std::uint8_t code, std::uint8_t sub, std::uint32_t address = 0) {
    stamp(command);
    command[2] = code;
    command[3] = sub;
    writeBe(command, 4, 3, address);
    return write(lba, command);
  }
  bool mailboxMode(std::uint8_t mode, std::uint32_t lba = 77) {
    switch (mode) {
      case 2: return order(lba, 0x03, 0);
      case 3: return order(lba, 0x03, 1);
      case 4: return order(lba, 0x04, 1);
      case 5: return order(lba, 0x04, 0);
      case 16: return order(lba, 0x10, 0);
      case 17: return order(lba, 0x10, 1);
    }
    return false;
  }
  bool ata(AtaRegisters& r, std::uint8_t* data = nullptr, std::uint32_t sectors = 0) {
    std::vector<std::uint8_t> work(std::size_t{sectors} * 512 + 16, 0);
    const bool ok = host.sendAta(handle, r, work.data(), sectors);
    if (ok && data) std::copy_n(work.begin(), std::size_t{sectors} * 512, data);
    return ok;
  }
  bool ataMode(std::uint8_t mode) {
    AtaRegisters r;
    r.features = mode;
    r.command = 0x88;
    return ata(r);
  }
  bool ataSpiRead(std::uint32_t address) {
    AtaRegisters r;
    r.features = 0x01;
    r.lbaLow = static_cast<std::uint8_t>(address);
    r.lbaMid = static_cast<std::uint8_t>(address >> 8);
    r.lbaHigh = static_cast<std::uint8_t>(address >> 16);
    r.device = 0xE0;
    r.command = 0x88;
    return ata(r);
  }
  bool identify(Sector& out) {
    AtaRegisters r;
    r.device = 0xE0;
    r.command = 0xEC;
    return ata(r, out.data(), 1);
  }
  bool vendor(bool single, VendorCdbKind kind, std::uint8_t* buffer, std::uint32_t address) {
    return host.sendScsi(handle, buildVendorCdbRequest(single, kind, buffer, address));
  }
  bool inquiry(std::uint8_t* out) { return host.sendScsi(handle, buildInquiryRequest(out)); }
};

}  // namespace tervalo::sim::testing
