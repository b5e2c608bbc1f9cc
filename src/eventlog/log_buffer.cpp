#include "eventlog/log_buffer.h"

namespace tervalo {

std::string LogBuffer::toFileText() const {
  std::size_t size = 0;
  for (const auto& l : lines_) size += l.size() + kLogLineEnd.size();
  std::string text;
  text.reserve(size);
  for (const auto& l : lines_) {
    text += l;
    text += kLogLineEnd;
  }
  return text;
}

std::vector<std::string> splitLogText(std::string_view bytes) {
  const std::size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(bytes.substr(start));
      break;
    }
    lines.emplace_back(bytes.substr(start, end - start));
    start = end + 1;
    if (bytes[end] == '\r' && start < bytes.size() && bytes[start] == '\n') ++start;
  }
  return lines;
}

std::string toLogText(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto b = static_cast<unsigned char>(c);
    const bool control = b < 0x20 || b == 0x7F;
    const bool undefined = b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
    if (control || undefined) c = '?';
  }
  return out;
}

}  // namespace tervalo
