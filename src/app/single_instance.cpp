#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tervalo::app {

std::filesystem::path instanceLockFolder(const char* xdgRuntimeDir) {
  if (xdgRuntimeDir && *xdgRuntimeDir && std::filesystem::path(xdgRuntimeDir).is_absolute())
    return xdgRuntimeDir;
  return "/tmp";
}

std::filesystem::path instanceLockPath() {
  return instanceLockFolder(std::getenv("XDG_RUNTIME_DIR")) / kInstanceLockName;
}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

InstanceLock::Result InstanceLock::acquire(const std::filesystem::path& path, std::string& error) {
  release();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "Cannot open the instance lock " + path.string() + ": " + std::strerror(errno);
    return Result::Failed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    if (e == EWOULDBLOCK) return Result::HeldElsewhere;
    error = "Cannot lock " + path.string() + ": " + std::strerror(e);
    return Result::Failed;
  }
  fd_ = fd;
  return Result::Acquired;
}

void InstanceLock::release() {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace tervalo::app
