#include "firmware/file_source.h"

#include <algorithm>
#include <cstdio>
#include <new>

namespace tervalo {

namespace {

class HostSourceFile final : public SourceFile {
 public:
  HostSourceFile(std::FILE* f, std::uint64_t size) : f_(f), size_(size) {}
  ~HostSourceFile() override { std::fclose(f_); }
  HostSourceFile(const HostSourceFile&) = delete;
  HostSourceFile& operator=(const HostSourceFile&) = delete;

  std::uint64_t size() const override { return size_; }
  std::size_t readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length) override {
    if (fseeko(f_, static_cast<off_t>(offset), SEEK_SET) != 0) return 0;
    const std::size_t n = std::fread(out, 1, length, f_);
    std::clearerr(f_);
    return n;
  }

 private:
  std::FILE* f_;
  std::uint64_t size_;
};

}  // namespace

std::unique_ptr<SourceFile> HostFileSource::open(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return nullptr;
  if (fseeko(f, 0, SEEK_END) != 0) {
    std::fclose(f);
    return nullptr;
  }
  const off_t end = ftello(f);
  if (end < 0) {
    std::fclose(f);
    return nullptr;
  }
  return std::make_unique<HostSourceFile>(f, static_cast<std::uint64_t>(end));
}

ReadWholeResult readWholeFile(FileSource& files, ConsoleUi& ui, const std::string& path,
                              const std::string& warningCaption, std::uint64_t maxLength) {
  ReadWholeResult result;
  std::unique_ptr<SourceFile> file = files.open(path);
  if (!file) return result;
  const std::uint64_t size = file->size();
  if (size > maxLength) {
    result.status = ReadWholeStatus::TooLarge;
    return result;
  }
  try {
    result.data.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    result.status = ReadWholeStatus::TooLarge;
    return result;
  }

  constexpr std::size_t kChunk = 64 * 1024;
  std::uint64_t offset = 0;
  int failures = 0;
  while (offset < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - offset));
    const std::size_t got = file->readAt(offset, result.data.data() + offset, want);
    offset += got;
    if (got > 0) failures = 0;
    if (got == want) continue;
    // The byte at `offset` could not be read: say so, then read it again from there.
    ++failures;
    ui.showMessage(systemBox("Error read from Source file. ByteCount = " + std::to_string(offset),
                             warningCaption, MessageIcon::Error));
    if (failures >= kByteReadAttempts) {
      result.status = ReadWholeStatus::ReadFailed;
      result.failedOffset = offset;
      result.data.clear();
      return result;
    }
  }
  result.status = ReadWholeStatus::Ok;
  return result;
}

}  // namespace tervalo
