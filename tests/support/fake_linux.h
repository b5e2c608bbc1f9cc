#pragma once
// Test doubles for the Linux disk host: a block device tree written into a temporary folder in
// the shape the kernel gives /sys/block, and a LinuxSystem that records what is opened and every
// SG_IO header and command block, and answers with scripted statuses, sense and data.
#include <scsi/sg.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <map>
#include <string>
#include <vector>

#include "device/linux/linux_disk_host.h"

namespace tervalo::testing {

// A temporary sysfs root; removed with the object.
class FakeSysfs {
 public:
  struct Partition {
    std::string name;
    std::string start;  // file contents as written
    std::string size;
  };

  FakeSysfs() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tervalo-sysfs-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    std::filesystem::create_directories(root_ / "block");
  }
  ~FakeSysfs() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  std::string root() const { return root_.string(); }
  std::filesystem::path block() const { return root_ / "block"; }

  // A whole disk with its removable flag and size files (contents as given; nullptr leaves the
  // file out) and its partitions.
  void addDisk(const std::string& name, const char* removable, const char* size,
               const std::vector<Partition>& partitions = {}) {
    const auto dir = block() / name;
    std::filesystem::create_directories(dir);
    if (removable) write(dir / "removable", removable);
    if (size) write(dir / "size", size);
    for (const auto& p : partitions) {
      const auto pdir = dir / p.name;
      std::filesystem::create_directories(pdir);
      write(pdir / "partition", "1\n");
      write(pdir / "start", p.start);
      write(pdir / "size", p.size);
    }
  }
  void removeDisk(const std::string& name) { std::filesystem::remove_all(block() / name); }

  static void write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

 private:
  std::filesystem::path root_;
};

// One SG_IO call as the host made it. Pointers are only compared, never followed after the call.
struct RecordedSgIo {
  int fd;
  sg_io_hdr hdr;
  std::vector<std::uint8_t> cdb;
};

// What the fake kernel answers to the next SG_IO calls.
struct SgReply {
  int result = 0;  // ioctl result; -1 fails with `error`
  int error = 0;
  std::uint8_t status = 0;
  std::uint16_t hostStatus = 0;
  std::uint16_t driverStatus = 0;
  std::vector<std::uint8_t> sense;
  int senseLengthWritten = -1;  // reported sb_len_wr; -1: the length of `sense`
  std::vector<std::uint8_t> data;  // copied into the data buffer (data-in)
};

struct FakeLinuxState {
  struct Opened {
    std::string path;
    int flags;
  };
  std::vector<Opened> opens;
  std::map<std::string, int> openErrors;  // path -> errno
  std::vector<int> closed;
  std::set<int> openFds;
  int nextFd = 10;

  std::vector<RecordedSgIo> sgIo;
  SgReply reply;
};

class FakeLinuxSystem : public LinuxSystem {
 public:
  explicit FakeLinuxSystem(std::shared_ptr<FakeLinuxState> state) : state_(std::move(state)) {}

  int open(const std::string& path, int flags) override {
    state_->opens.push_back({path, flags});
    const auto it = state_->openErrors.find(path);
    if (it != state_->openErrors.end()) {
      errno = it->second;
      return -1;
    }
    const int fd = state_->nextFd++;
    state_->openFds.insert(fd);
    return fd;
  }
  int close(int fd) override {
    state_->closed.push_back(fd);
    return state_->openFds.erase(fd) ? 0 : -1;
  }
  int sgIo(int fd, sg_io_hdr* hdr) override {
    RecordedSgIo call{fd, *hdr, {}};
    if (hdr->cmdp) call.cdb.assign(hdr->cmdp, hdr->cmdp + hdr->cmd_len);
    state_->sgIo.push_back(call);
    const SgReply& r = state_->reply;
    if (r.result < 0) {
      errno = r.error;
      return r.result;
    }
    hdr->status = r.status;
    hdr->masked_status = static_cast<unsigned char>((r.status >> 1) & 0x7F);
    hdr->host_status = r.hostStatus;
    hdr->driver_status = r.driverStatus;
    const std::size_t senseBytes = std::min<std::size_t>(r.sense.size(), hdr->mx_sb_len);
    std::copy_n(r.sense.begin(), senseBytes, hdr->sbp);
    hdr->sb_len_wr = static_cast<unsigned char>(r.senseLengthWritten >= 0 ? r.senseLengthWritten : senseBytes);
    if (hdr->dxfer_direction == SG_DXFER_FROM_DEV && hdr->dxferp) {
      const std::size_t n = std::min<std::size_t>(r.data.size(), hdr->dxfer_len);
      std::copy_n(r.data.begin(), n, static_cast<std::uint8_t*>(hdr->dxferp));
    }
    return 0;
  }

 private:
  std::shared_ptr<FakeLinuxState> state_;
};

}  // namespace tervalo::testing
