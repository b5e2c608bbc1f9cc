#pragma once
// Reading image files: a small seam so that tests can make a read fail at a chosen offset.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/console_ui.h"

namespace tervalo {

// One file open for reading raw bytes.
class SourceFile {
 public:
  virtual ~SourceFile() = default;
  // The file's length in bytes.
  virtual std::uint64_t size() const = 0;
  // Reads up to `length` bytes at `offset` into `out`; returns how many were read. Fewer than
  // asked (before the end of the file) means the byte at offset + result could not be read.
  virtual std::size_t readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length) = 0;
};

class FileSource {
 public:
  virtual ~FileSource() = default;
  // nullptr when the file cannot be opened.
  virtual std::unique_ptr<SourceFile> open(const std::string& path) = 0;
};

// The host's files.
class HostFileSource final : public FileSource {
 public:
  std::unique_ptr<SourceFile> open(const std::string& path) override;
};

// Tries to read one byte this many times before a read gives up.
inline constexpr int kByteReadAttempts = 3;

enum class ReadWholeStatus { Ok, OpenFailed, TooLarge, ReadFailed };

struct ReadWholeResult {
  ReadWholeStatus status = ReadWholeStatus::OpenFailed;
  std::vector<std::uint8_t> data;
  // ReadFailed: the offset of the byte that kept failing.
  std::uint64_t failedOffset = 0;
};

// Reads a whole file. A byte that cannot be read is reported with the box
// "Error read from Source file. ByteCount = " + offset under `warningCaption`, then read again;
// after kByteReadAttempts failures of the same byte the read gives up. Files longer than
// `maxLength` are refused before anything is read. Shows no box for a failed open.
ReadWholeResult readWholeFile(FileSource& files, ConsoleUi& ui, const std::string& path,
                              const std::string& warningCaption, std::uint64_t maxLength);

}  // namespace tervalo
