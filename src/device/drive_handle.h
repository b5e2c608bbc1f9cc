#pragma once
// A raw device handle that closes itself. Every device operation opens its own handle, so
// detection and the operations of the window never share one.
#include <utility>

#include "device/raw_disk_host.h"

namespace tervalo {

class DriveHandle {
 public:
  DriveHandle() = default;
  DriveHandle(RawDiskHost* host, HostHandle handle) : host_(host), handle_(handle) {}
  DriveHandle(const DriveHandle&) = delete;
  DriveHandle& operator=(const DriveHandle&) = delete;
  DriveHandle(DriveHandle&& other) noexcept
      : host_(std::exchange(other.host_, nullptr)), handle_(std::exchange(other.handle_, kInvalidHandle)) {}
  DriveHandle& operator=(DriveHandle&& other) noexcept {
    if (this != &other) {
      close();
      host_ = std::exchange(other.host_, nullptr);
      handle_ = std::exchange(other.handle_, kInvalidHandle);
    }
    return *this;
  }
  ~DriveHandle() { close(); }

  bool valid() const { return host_ != nullptr && handle_ >= 0; }
  explicit operator bool() const { return valid(); }
  HostHandle get() const { return handle_; }
  RawDiskHost* host() const { return host_; }

  void close() {
    if (valid()) host_->close(handle_);
    handle_ = kInvalidHandle;
  }

 private:
  RawDiskHost* host_ = nullptr;
  HostHandle handle_ = kInvalidHandle;
};

}  // namespace tervalo
