#pragma once
// One console per desktop: an exclusive lock on the file "TR_GUI" in $XDG_RUNTIME_DIR (or /tmp),
// held for the whole run and released when the holder ends.
#include <filesystem>
#include <optional>
#include <string>

namespace tervalo::app {

inline constexpr const char* kInstanceLockName = "TR_GUI";

// The folder of the lock: $XDG_RUNTIME_DIR when it is set and absolute, else /tmp.
std::filesystem::path instanceLockFolder(const char* xdgRuntimeDir);
std::filesystem::path instanceLockPath();

class InstanceLock {
 public:
  enum class Result { Acquired, HeldElsewhere, Failed };

  InstanceLock() = default;
  InstanceLock(InstanceLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  InstanceLock& operator=(InstanceLock&& other) noexcept;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock() { release(); }

  // Tries to take the lock at `path` without waiting. `error` says why on Failed.
  Result acquire(const std::filesystem::path& path, std::string& error);
  bool held() const { return fd_ >= 0; }
  void release();

 private:
  int fd_ = -1;
};

}  // namespace tervalo::app
