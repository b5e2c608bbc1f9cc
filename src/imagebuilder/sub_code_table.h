#pragma once
// The image builder's table of files: entry 0 the head (boot loader), entries 1..10 the
// sub-codes, and the grid that shows them (row e + 1 shows entry e).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imagebuilder/parse_number.h"

namespace tervalo {

inline constexpr int kMaxSubCodes = 10;
inline constexpr int kSubCodeEntries = kMaxSubCodes + 1;
inline constexpr int kGridColumns = 4;
inline constexpr int kGridRows = 12;
inline constexpr char kHeadFileName[] = "SPIHEAD.BIN";

struct SubCodeEntry {
  std::string path;  // full path of the file
  std::uint8_t codeType = 0;
  std::uint8_t updateFlag = 0;  // 0 FALSE, 1 TRUE
};

// Lives for the whole run; a new "Make Bin" window sets subCodeCount to 0 but keeps the entries,
// so the head chosen before is used again.
struct SubCodeTable {
  std::array<SubCodeEntry, kSubCodeEntries> entries{};
  int subCodeCount = 0;  // 0..10; entries 1..subCodeCount are in use
};

// The file-name part of a path (after the last '/').
std::string fileNamePart(std::string_view path);

// The code type a file name gives, or nullopt when the name has no point (the entry keeps its
// code type then): the two characters in front of the first point of the upper-cased name as
// two hex digits; a high non-digit counts 0, a low non-digit makes the code type 0.
std::optional<std::uint8_t> codeTypeFromName(std::string_view fileName);

struct AddFilesResult {
  int added = 0;               // sub-codes appended
  bool headChosen = false;     // a SPIHEAD.BIN went into entry 0
  std::vector<std::string> refused;  // paths left out, an eleventh sub-code and beyond
  // When some were refused, the message to show ("" otherwise).
  std::string message;
};

// "Add Sub-code": for each path in order, SPIHEAD.BIN (any letter case) goes into entry 0;
// any other file is appended with its code type from the name and update flag 1. Files beyond
// the tenth sub-code are refused.
AddFilesResult AddSubCodeFiles(SubCodeTable& table, const std::vector<std::string>& paths);

// Texts of the grid after a refresh. Row 0 and column 0 are the fixed headers; rows 1 to
// subCodeCount + 1 show entries; the other rows are empty. The "Boot Loader" row shows only the
// file name.
std::string gridCellText(const SubCodeTable& table, int row, int column);
// Two upper-case hex digits and "h" (3Ah); and the flag text "TRUE" / "FALSE".
std::string codeTypeText(std::uint8_t codeType);
const char* updateFlagText(std::uint8_t updateFlag);

// Whether a double-click or Enter on this cell opens an editor: rows 2 to subCodeCount + 1,
// column 2 (code type) or 3 (update flag).
bool cellEditable(const SubCodeTable& table, int row, int column);
// Enter in the code-type editor: codeType of row's entry = low 8 bits of ParseNumber(text).
// A text that does not read changes nothing and returns the conversion error.
ParsedNumber setCodeTypeFromText(SubCodeTable& table, int row, std::string_view text);
// An item chosen in the flag editor (0 FALSE, 1 TRUE).
void setUpdateFlag(SubCodeTable& table, int row, int itemIndex);

// Key "+" on row Y (2..subCodeCount + 1): exchange entries Y-1 and Y-2, row Y-1 becomes current.
// Key "-" on row Y (1..subCodeCount): exchange entries Y-1 and Y, row Y+1 becomes current.
// Delete on row Y (1..subCodeCount + 1): entries Y..subCodeCount move up one place and the
// count falls by one, never below 0. Each returns false and changes nothing outside its rows.
bool moveRowUp(SubCodeTable& table, int& currentRow);
bool moveRowDown(SubCodeTable& table, int& currentRow);
bool deleteRow(SubCodeTable& table, int currentRow);

// Status texts of a cell selection: panel 2 = row - 1; panel 3, when the row shows an entry and
// the column is 1 to 3, the full path, the code type as two hex digits, or the flag in decimal.
struct CellSelectionTexts {
  std::string panel2;
  std::optional<std::string> panel3;
};
CellSelectionTexts cellSelectionTexts(const SubCodeTable& table, int row, int column);

}  // namespace tervalo
