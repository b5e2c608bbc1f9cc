#pragma once
// The day's log in memory: an ordered list of single-byte text lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tervalo {

inline constexpr std::string_view kLogLineEnd = "\r\n";

class LogBuffer {
 public:
  std::size_t lineCount() const { return lines_.size(); }
  const std::string& line(std::size_t index) const { return lines_.at(index); }
  const std::vector<std::string>& lines() const { return lines_; }

  void append(std::string line) {
    lines_.push_back(std::move(line));
    ++appended_;
  }
  // Lines appended since the buffer was made; replacing or clearing does not count. The lines a
  // pass appended are the last (appendedLines() after − before) lines of the buffer.
  std::uint64_t appendedLines() const { return appended_; }
  void clear() { lines_.clear(); }
  void replace(std::vector<std::string> lines) { lines_ = std::move(lines); }

  // The file form: every line followed by CR LF.
  std::string toFileText() const;

 private:
  std::vector<std::string> lines_;
  std::uint64_t appended_ = 0;
};

// Splits a file's bytes into lines at CR LF, a lone CR or a lone LF; a NUL byte ends the text.
// A line end at the very end of the text does not start another line.
std::vector<std::string> splitLogText(std::string_view bytes);

// Keeps a line single-byte and printable: bytes of the Windows-1252 printable range stay, control
// bytes and undefined code points become '?'.
std::string toLogText(std::string_view text);

}  // namespace tervalo
