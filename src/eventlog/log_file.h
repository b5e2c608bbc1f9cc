#pragma once
// The day files: names, folder, and file access behind a small seam so that tests can make a
// write fail half-way.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/clock.h"

namespace tervalo {

// One file opened for writing.
class LogWriteFile {
 public:
  virtual ~LogWriteFile() = default;
  // Writes all of `bytes`; false when not everything was written.
  virtual bool write(std::string_view bytes) = 0;
  // Flushes the file's data to the storage device.
  virtual bool sync() = 0;
  virtual bool close() = 0;
};

class LogFileIo {
 public:
  virtual ~LogFileIo() = default;
  virtual bool exists(const std::filesystem::path& path) = 0;
  // The whole file; std::nullopt when it cannot be read.
  virtual std::optional<std::string> readAll(const std::filesystem::path& path) = 0;
  // Creates or truncates a file for writing; nullptr on failure.
  virtual std::unique_ptr<LogWriteFile> create(const std::filesystem::path& path) = 0;
  // Replaces `to` by `from` in one step and makes the change durable.
  virtual bool rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  virtual void remove(const std::filesystem::path& path) = 0;
  virtual bool createDirectories(const std::filesystem::path& folder) = 0;
};

// The host's files (POSIX calls: open, write, fsync, rename).
class PosixLogFileIo : public LogFileIo {
 public:
  bool exists(const std::filesystem::path& path) override;
  std::optional<std::string> readAll(const std::filesystem::path& path) override;
  std::unique_ptr<LogWriteFile> create(const std::filesystem::path& path) override;
  bool rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  void remove(const std::filesystem::path& path) override;
  bool createDirectories(const std::filesystem::path& folder) override;
};

// "yymmdd.log" of the given date.
std::string dayFileName(const LocalDateTime& date);

// The temporary file a save writes before it replaces the day file: same folder.
std::filesystem::path temporaryLogPath(const std::filesystem::path& dayFile);

// Writes `content` to a temporary file beside `path`, syncs it and renames it over `path`. On any
// failure the temporary file is removed, `path` keeps its previous content and false is
// returned. Creates the folder when it is missing.
bool saveLogFile(LogFileIo& io, const std::filesystem::path& path, std::string_view content);

// Where day files go: `logDirOption` when given; else the executable's folder when it is
// writable; else $XDG_STATE_HOME/tervalo, or ~/.local/state/tervalo when XDG_STATE_HOME is unset
// or not absolute. Empty when none of them can be named.
struct LogFolderEnvironment {
  std::filesystem::path executableFolder;
  std::string xdgStateHome;  // empty when unset
  std::string home;          // empty when unset
  std::function<bool(const std::filesystem::path&)> isWritable;
};
std::filesystem::path pickLogFolder(const std::optional<std::filesystem::path>& logDirOption,
                                    const LogFolderEnvironment& environment);
// The same with the running program's folder and environment.
std::filesystem::path pickLogFolder(const std::optional<std::filesystem::path>& logDirOption);

// The folder of the running executable (from /proc/self/exe); empty when unknown.
std::filesystem::path executableFolder();

}  // namespace tervalo
