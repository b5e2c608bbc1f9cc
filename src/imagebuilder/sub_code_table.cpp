#include "imagebuilder/sub_code_table.h"

#include <cctype>
#include <cstdio>
#include <utility>

namespace tervalo {

namespace {

std::string upperCased(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string hex2(std::uint8_t v) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02X", v);
  return buf;
}

bool entryRow(const SubCodeTable& table, int row) { return row >= 1 && row <= table.subCodeCount + 1; }

}  // namespace

std::string fileNamePart(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::optional<std::uint8_t> codeTypeFromName(std::string_view fileName) {
  const std::string name = upperCased(fileName);
  const auto point = name.find('.');
  if (point == std::string::npos) return std::nullopt;
  const int high = point >= 2 ? hexDigit(name[point - 2]) : -1;
  const int low = point >= 1 ? hexDigit(name[point - 1]) : -1;
  if (low < 0) return std::uint8_t{0};
  return static_cast<std::uint8_t>(((high < 0 ? 0 : high) << 4) | low);
}

AddFilesResult AddSubCodeFiles(SubCodeTable& table, const std::vector<std::string>& paths) {
  AddFilesResult result;
  for (const std::string& path : paths) {
    const std::string name = upperCased(fileNamePart(path));
    if (name == kHeadFileName) {
      table.entries[0].path = path;
      result.headChosen = true;
      continue;
    }
    if (table.subCodeCount >= kMaxSubCodes) {
      result.refused.push_back(path);
      continue;
    }
    SubCodeEntry& e = table.entries[static_cast<std::size_t>(table.subCodeCount + 1)];
    e.path = path;
    if (auto type = codeTypeFromName(name)) e.codeType = *type;
    e.updateFlag = 1;
    ++table.subCodeCount;
    ++result.added;
  }
  if (!result.refused.empty()) {
    result.message = "An image holds at most 10 sub-codes; not added:";
    for (const auto& p : result.refused) result.message += "\n" + p;
  }
  return result;
}

std::string codeTypeText(std::uint8_t codeType) { return hex2(codeType) + "h"; }

const char* updateFlagText(std::uint8_t updateFlag) { return updateFlag != 0 ? "TRUE" : "FALSE"; }

std::string gridCellText(const SubCodeTable& table, int row, int column) {
  if (row < 0 || row >= kGridRows || column < 0 || column >= kGridColumns) return {};
  if (row == 0) {
    static const char* const kHeaders[kGridColumns] = {"", "Subcode file", "Code Type", "Update Flag"};
    return kHeaders[column];
  }
  if (column == 0) return row == 1 ? std::string("Boot Loader") : "SubCode-" + std::to_string(row - 2);
  if (!entryRow(table, row)) return {};
  const SubCodeEntry& e = table.entries[static_cast<std::size_t>(row - 1)];
  switch (column) {
    case 1: return fileNamePart(e.path);
    case 2: return row == 1 ? std::string() : codeTypeText(e.codeType);
    default: return row == 1 ? std::string() : std::string(updateFlagText(e.updateFlag));
  }
}

bool cellEditable(const SubCodeTable& table, int row, int column) {
  return row >= 2 && row <= table.subCodeCount + 1 && (column == 2 || column == 3);
}

ParsedNumber setCodeTypeFromText(SubCodeTable& table, int row, std::string_view text) {
  ParsedNumber n = ParseNumber(text);
  if (n && entryRow(table, row))
    table.entries[static_cast<std::size_t>(row - 1)].codeType = static_cast<std::uint8_t>(n.value);
  return n;
}

void setUpdateFlag(SubCodeTable& table, int row, int itemIndex) {
  if (!entryRow(table, row) || itemIndex < 0 || itemIndex > 1) return;
  table.entries[static_cast<std::size_t>(row - 1)].updateFlag = static_cast<std::uint8_t>(itemIndex);
}

bool moveRowUp(SubCodeTable& table, int& currentRow) {
  const int y = currentRow;
  if (y < 2 || y > table.subCodeCount + 1) return false;
  std::swap(table.entries[static_cast<std::size_t>(y - 1)], table.entries[static_cast<std::size_t>(y - 2)]);
  currentRow = y - 1;
  return true;
}

bool moveRowDown(SubCodeTable& table, int& currentRow) {
  const int y = currentRow;
  if (y < 1 || y > table.subCodeCount) return false;
  std::swap(table.entries[static_cast<std::size_t>(y - 1)], table.entries[static_cast<std::size_t>(y)]);
  currentRow = y + 1;
  return true;
}

bool deleteRow(SubCodeTable& table, int currentRow) {
  const int y = currentRow;
  if (y < 1 || y > table.subCodeCount + 1) return false;
  for (int e = y; e <= table.subCodeCount; ++e)
    table.entries[static_cast<std::size_t>(e - 1)] = table.entries[static_cast<std::size_t>(e)];
  if (table.subCodeCount > 0) --table.subCodeCount;
  return true;
}

CellSelectionTexts cellSelectionTexts(const SubCodeTable& table, int row, int column) {
  CellSelectionTexts t;
  t.panel2 = std::to_string(row - 1);
  if (row >= 1 && row <= table.subCodeCount + 1 && row < kGridRows) {
    const SubCodeEntry& e = table.entries[static_cast<std::size_t>(row - 1)];
    switch (column) {
      case 1: t.panel3 = e.path; break;
      case 2: t.panel3 = hex2(e.codeType); break;
      case 3: t.panel3 = std::to_string(e.updateFlag); break;
      default: break;
    }
  }
  return t;
}

}  // namespace tervalo
