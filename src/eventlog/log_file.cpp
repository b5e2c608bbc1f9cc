#include "eventlog/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace tervalo {

namespace {

class PosixWriteFile : public LogWriteFile {
 public:
  explicit PosixWriteFile(int fd) : fd_(fd) {}
  ~PosixWriteFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  bool write(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  bool sync() override { return ::fsync(fd_) == 0; }
  bool close() override {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

void syncFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool PosixLogFileIo::exists(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

std::optional<std::string> PosixLogFileIo::readAll(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

std::unique_ptr<LogWriteFile> PosixLogFileIo::create(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixWriteFile>(fd);
}

bool PosixLogFileIo::rename(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) return false;
  syncFolder(to.parent_path());
  return true;
}

void PosixLogFileIo::remove(const std::filesystem::path& path) { ::unlink(path.c_str()); }

bool PosixLogFileIo::createDirectories(const std::filesystem::path& folder) {
  std::error_code ec;
  if (folder.empty() || std::filesystem::is_directory(folder, ec)) return true;
  std::filesystem::create_directories(folder, ec);
  return !ec && std::filesystem::is_directory(folder, ec);
}

std::string dayFileName(const LocalDateTime& date) {
  char name[32];
  std::snprintf(name, sizeof name, "%02d%02d%02d.log", ((date.year % 100) + 100) % 100, date.month % 100,
                date.day % 100);
  return name;
}

std::filesystem::path temporaryLogPath(const std::filesystem::path& dayFile) {
  // One name per process: the window and a `tervaloctl watch` saving into the same folder never
  // write into each other's temporary file.
  std::filesystem::path temp = dayFile;
  temp += ".tmp." + std::to_string(::getpid());
  return temp;
}

bool saveLogFile(LogFileIo& io, const std::filesystem::path& path, std::string_view content) {
  if (!io.createDirectories(path.parent_path())) return false;
  const std::filesystem::path temp = temporaryLogPath(path);
  auto file = io.create(temp);
  if (!file) return false;
  const bool written = file->write(content) && file->sync();
  const bool closed = file->close();
  file.reset();
  if (!written || !closed || !io.rename(temp, path)) {
    io.remove(temp);
    return false;
  }
  return true;
}

std::filesystem::path pickLogFolder(const std::optional<std::filesystem::path>& logDirOption,
                                    const LogFolderEnvironment& environment) {
  if (logDirOption && !logDirOption->empty()) return *logDirOption;
  if (!environment.executableFolder.empty() && environment.isWritable &&
      environment.isWritable(environment.executableFolder))
    return environment.executableFolder;
  const std::filesystem::path xdg(environment.xdgStateHome);
  if (!xdg.empty() && xdg.is_absolute()) return xdg / "tervalo";
  if (!environment.home.empty()) return std::filesystem::path(environment.home) / ".local" / "state" / "tervalo";
  return {};
}

std::filesystem::path pickLogFolder(const std::optional<std::filesystem::path>& logDirOption) {
  LogFolderEnvironment environment;
  environment.executableFolder = executableFolder();
  if (const char* v = std::getenv("XDG_STATE_HOME")) environment.xdgStateHome = v;
  if (const char* v = std::getenv("HOME")) environment.home = v;
  environment.isWritable = [](const std::filesystem::path& folder) { return ::access(folder.c_str(), W_OK) == 0; };
  return pickLogFolder(logDirOption, environment);
}

std::filesystem::path executableFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path();
}

}  // namespace tervalo
