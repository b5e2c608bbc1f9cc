#pragma once
// A small host for the device layer's own tests: a list of volumes, a set of openable drives,
// and a log of every request with scripted answers. Protocol tests use the simulated enclosure.
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/raw_disk_host.h"

namespace tervalo::testing {

class FakeHost : public RawDiskHost {
 public:
  struct Opened {
    bool physical;
    int drive;
    std::string volume;
  };
  struct SentScsi {
    HostHandle handle;
    ScsiRequest request;
  };
  struct SentAta {
    HostHandle handle;
    AtaRegisters registers;
    std::uint32_t sectors;
  };

  std::vector<VolumeInfo> volumes;
  std::set<int> openableDrives;
  std::set<std::string> unopenableVolumes;
  std::map<std::string, DiskExtent> extents;  // missing: the extent request fails

  std::function<bool(const ScsiRequest&)> scsiAnswer = [](const ScsiRequest&) { return true; };
  std::function<bool(AtaRegisters&, std::uint8_t*, std::uint32_t)> ataAnswer =
      [](AtaRegisters&, std::uint8_t*, std::uint32_t) { return true; };

  std::vector<Opened> openLog;
  std::vector<SentScsi> scsiLog;
  std::vector<SentAta> ataLog;
  std::vector<std::string> events;  // "open", "rescan", "scsi", "ata", "close" in order
  int openHandles = 0;

  std::vector<VolumeInfo> listVolumes() override { return volumes; }
  HostHandle openPhysicalDrive(int n) override {
    openLog.push_back({true, n, {}});
    if (!openableDrives.count(n)) return kInvalidHandle;
    return newHandle("drive" + std::to_string(n));
  }
  HostHandle openVolume(const std::string& identity) override {
    openLog.push_back({false, -1, identity});
    if (unopenableVolumes.count(identity)) return kInvalidHandle;
    return newHandle(identity);
  }
  bool volumeExtent(HostHandle handle, DiskExtent& extent) override {
    auto it = extents.find(names_.at(handle));
    if (it == extents.end()) return false;
    extent = it->second;
    return true;
  }
  bool sendScsi(HostHandle handle, const ScsiRequest& request) override {
    events.push_back("scsi");
    scsiLog.push_back({handle, request});
    return scsiAnswer(request);
  }
  bool sendAta(HostHandle handle, AtaRegisters& registers, std::uint8_t* data, std::uint32_t sectors) override {
    events.push_back("ata");
    ataLog.push_back({handle, registers, sectors});
    return ataAnswer(registers, data, sectors);
  }
  void rescanBus(HostHandle) override { events.push_back("rescan"); }
  void close(HostHandle handle) override {
    events.push_back("close");
    names_.erase(handle);
    --openHandles;
  }

 private:
  HostHandle newHandle(const std::string& name) {
    events.push_back("open");
    ++openHandles;
    names_[next_] = name;
    return next_++;
  }
  std::map<HostHandle, std::string> names_;
  HostHandle next_ = 3;
};

}  // namespace tervalo::testing
