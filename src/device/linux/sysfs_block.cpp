#include "device/linux/sysfs_block.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tervalo {

namespace fs = std::filesystem;

namespace {

bool allLower(const std::string& s, std::size_t from) {
  if (from >= s.size()) return false;
  return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(),
                     [](unsigned char c) { return c >= 'a' && c <= 'z'; });
}

// Consumes one or more decimal digits at `pos`; false when there are none.
bool skipDigits(const std::string& s, std::size_t& pos) {
  const std::size_t start = pos;
  while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) ++pos;
  return pos > start;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// nvme<ctrl>n<ns>; the hidden per-path nodes nvme<ctrl>c<path>n<ns> are not disks of their own.
bool isNvmeDiskName(const std::string& name) {
  if (!startsWith(name, "nvme")) return false;
  std::size_t pos = 4;
  if (!skipDigits(name, pos) || pos >= name.size() || name[pos] != 'n') return false;
  ++pos;
  return skipDigits(name, pos) && pos == name.size();
}

// mmcblk<n>; the eMMC boot areas mmcblk<n>boot<m> hold no volumes.
bool isMmcDiskName(const std::string& name) {
  if (!startsWith(name, "mmcblk")) return false;
  std::size_t pos = 6;
  return skipDigits(name, pos) && pos == name.size();
}

bool isDirectory(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

bool isRegularFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

// Names of the entries of a directory; empty when it cannot be read.
std::vector<std::string> entryNames(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return names;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    names.push_back(it->path().filename().string());
  }
  return names;
}

std::optional<bool> readFlag(const fs::path& path) {
  const auto value = readSysfsNumber(path.string());
  if (!value || *value > 1) return std::nullopt;
  return *value == 1;
}

// A block device that the kernel marks hidden (an NVMe path node) is not offered to users.
bool isHidden(const fs::path& diskDir) { return readFlag(diskDir / "hidden").value_or(false); }

}  // namespace

bool kernelNameLess(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool isScsiDiskName(const std::string& name) { return startsWith(name, "sd") && allLower(name, 2); }

bool isVolumeDiskName(const std::string& name) {
  if (isScsiDiskName(name)) return true;
  if (startsWith(name, "vd") && allLower(name, 2)) return true;
  if (startsWith(name, "hd") && allLower(name, 2)) return true;
  if (startsWith(name, "xvd") && allLower(name, 3)) return true;
  return isNvmeDiskName(name) || isMmcDiskName(name);
}

std::optional<std::uint64_t> readSysfsNumber(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  // Attributes are short; anything longer than a 64-bit number and a newline is not one.
  char buffer[64];
  in.read(buffer, sizeof buffer);
  const std::string text(buffer, static_cast<std::size_t>(in.gcount()));
  const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
  const auto first = std::find_if_not(text.begin(), text.end(), isSpace);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), isSpace).base();
  if (first >= last) return std::nullopt;
  std::uint64_t value = 0;
  const char* begin = &*first;
  const char* end = begin + (last - first);
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::vector<std::string> listScsiDisks(const std::string& sysfsRoot) {
  const fs::path block = fs::path(sysfsRoot) / "block";
  std::vector<std::string> disks;
  for (auto& name : entryNames(block)) {
    if (!isScsiDiskName(name) || !isDirectory(block / name) || isHidden(block / name)) continue;
    disks.push_back(std::move(name));
  }
  std::sort(disks.begin(), disks.end(), kernelNameLess);
  return disks;
}

std::vector<BlockVolume> listBlockVolumes(const std::string& sysfsRoot) {
  const fs::path block = fs::path(sysfsRoot) / "block";
  std::vector<std::string> disks;
  for (auto& name : entryNames(block)) {
    if (!isVolumeDiskName(name) || !isDirectory(block / name) || isHidden(block / name)) continue;
    disks.push_back(std::move(name));
  }
  std::sort(disks.begin(), disks.end(), kernelNameLess);

  std::vector<BlockVolume> volumes;
  for (const auto& disk : disks) {
    const fs::path diskDir = block / disk;
    const std::optional<bool> removable = readFlag(diskDir / "removable");
    std::vector<std::string> partitions;
    for (auto& name : entryNames(diskDir)) {
      if (name.size() <= disk.size() || name.compare(0, disk.size(), disk) != 0) continue;
      if (!isDirectory(diskDir / name) || !isRegularFile(diskDir / name / "partition")) continue;
      partitions.push_back(std::move(name));
    }
    std::sort(partitions.begin(), partitions.end(), kernelNameLess);
    if (partitions.empty()) {
      volumes.push_back({disk, disk, diskDir.string(), false, removable});
      continue;
    }
    for (const auto& part : partitions) volumes.push_back({part, disk, (diskDir / part).string(), true, removable});
  }
  return volumes;
}

}  // namespace tervalo
