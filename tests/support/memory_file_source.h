#pragma once
// Files held in memory, with reads that fail at a chosen offset a chosen number of times.
#include <map>
#include <string>
#include <vector>

#include "firmware/file_source.h"

namespace tervalo::testing {

class MemoryFileSource : public FileSource {
 public:
  struct Fault {
    std::uint64_t offset = 0;
    int times = 0;  // reads at the offset that fail; -1: every one
  };

  std::map<std::string, std::vector<std::uint8_t>> files;
  std::map<std::string, Fault> faults;
  std::vector<std::string> opened;
  int readCalls = 0;

  std::unique_ptr<SourceFile> open(const std::string& path) override {
    opened.push_back(path);
    auto it = files.find(path);
    if (it == files.end()) return nullptr;
    auto f = faults.find(path);
    return std::make_unique<File>(*this, it->second, f == faults.end() ? nullptr : &f->second);
  }

 private:
  class File : public SourceFile {
   public:
    File(MemoryFileSource& owner, const std::vector<std::uint8_t>& bytes, Fault* fault)
        : owner_(owner), bytes_(bytes), fault_(fault) {}
    std::uint64_t size() const override { return bytes_.size(); }
    std::size_t readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length) override {
      ++owner_.readCalls;
      if (offset >= bytes_.size()) return 0;
      std::size_t n = std::min<std::size_t>(length, bytes_.size() - offset);
      if (fault_ && fault_->times != 0 && fault_->offset >= offset && fault_->offset < offset + n) {
        n = static_cast<std::size_t>(fault_->offset - offset);
        if (fault_->times > 0) --fault_->times;
      }
      std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(offset),
                bytes_.begin() + static_cast<std::ptrdiff_t>(offset + n), out);
      return n;
    }

   private:
    MemoryFileSource& owner_;
    const std::vector<std::uint8_t>& bytes_;
    Fault* fault_;
  };
};

}  // namespace tervalo::testing
