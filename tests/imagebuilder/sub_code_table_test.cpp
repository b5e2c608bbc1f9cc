#include "imagebuilder/sub_code_table.h"

#include <gtest/gtest.h>

namespace tervalo {
namespace {

std::vector<std::string> paths(const SubCodeTable& t) {
  std::vector<std::string> out;
  for (int e = 0; e <= t.subCodeCount; ++e) out.push_back(t.entries[static_cast<std::size_t>(e)].path);
  return out;
}

TEST(SubCodeTable, CodeTypeFromName) {
  struct Case {
    const char* name;
    std::optional<std::uint8_t> type;
  };
  const Case cases[] = {
      {"CODE_3A.BIN", 0x3A}, {"PART1.BIN", 0x01}, {"DATA_X.BIN", 0x00}, {"FW_B7.BIN", 0xB7},
      {"fw_b7.bin", 0xB7},   {"A.BIN", 0x0A},     {".BIN", 0x00},       {"NOPOINT", std::nullopt},
      {"X2.Y3.BIN", 0x02},  // the first point counts
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(codeTypeFromName(c.name), c.type);
  }
}

TEST(SubCodeTable, AddsHeadInAnyCaseAndAppendsSubCodes) {
  SubCodeTable t;
  const AddFilesResult r =
      AddSubCodeFiles(t, {"/a/FW_B7.BIN", "/a/spihead.bin", "/b/CODE_3A.BIN", "/c/SpiHead.Bin", "/d/NOPOINT"});
  EXPECT_EQ(r.added, 3);
  EXPECT_TRUE(r.headChosen);
  EXPECT_TRUE(r.refused.empty());
  EXPECT_EQ(t.subCodeCount, 3);
  EXPECT_EQ(paths(t), (std::vector<std::string>{"/c/SpiHead.Bin", "/a/FW_B7.BIN", "/b/CODE_3A.BIN", "/d/NOPOINT"}));
  EXPECT_EQ(t.entries[1].codeType, 0xB7);
  EXPECT_EQ(t.entries[1].updateFlag, 1);
  EXPECT_EQ(t.entries[3].codeType, 0x00);  // no point: the entry keeps what it held

  // Grid texts: FW_B7.BIN shows B7h and TRUE; the head row shows only its name.
  EXPECT_EQ(gridCellText(t, 1, 1), "SpiHead.Bin");
  EXPECT_EQ(gridCellText(t, 1, 2), "");
  EXPECT_EQ(gridCellText(t, 1, 3), "");
  EXPECT_EQ(gridCellText(t, 2, 1), "FW_B7.BIN");
  EXPECT_EQ(gridCellText(t, 2, 2), "B7h");
  EXPECT_EQ(gridCellText(t, 2, 3), "TRUE");
  EXPECT_EQ(gridCellText(t, 3, 2), "3Ah");
  EXPECT_EQ(gridCellText(t, 5, 1), "");  // beyond the count: emptied
  EXPECT_EQ(gridCellText(t, 0, 1), "Subcode file");
  EXPECT_EQ(gridCellText(t, 0, 2), "Code Type");
  EXPECT_EQ(gridCellText(t, 0, 3), "Update Flag");
  EXPECT_EQ(gridCellText(t, 1, 0), "Boot Loader");
  EXPECT_EQ(gridCellText(t, 2, 0), "SubCode-0");
  EXPECT_EQ(gridCellText(t, 11, 0), "SubCode-9");
}

TEST(SubCodeTable, NewWindowKeepsTheHeadAndReusesStaleCodeTypes) {
  SubCodeTable t;
  AddSubCodeFiles(t, {"/h/SPIHEAD.BIN", "/x/FW_B7.BIN"});
  t.subCodeCount = 0;  // a new "Make Bin" window
  AddSubCodeFiles(t, {"/y/NOPOINT"});
  EXPECT_EQ(t.entries[0].path, "/h/SPIHEAD.BIN");
  EXPECT_EQ(t.entries[1].path, "/y/NOPOINT");
  EXPECT_EQ(t.entries[1].codeType, 0xB7);
}

TEST(SubCodeTable, RefusesAnEleventhSubCode) {
  SubCodeTable t;
  std::vector<std::string> files;
  for (int i = 0; i < 12; ++i) files.push_back("/s/S" + std::to_string(i) + ".BIN");
  const AddFilesResult r = AddSubCodeFiles(t, files);
  EXPECT_EQ(t.subCodeCount, 10);
  EXPECT_EQ(r.added, 10);
  EXPECT_EQ(r.refused, (std::vector<std::string>{"/s/S10.BIN", "/s/S11.BIN"}));
  EXPECT_NE(r.message.find("/s/S11.BIN"), std::string::npos);
  // A head is still taken when the table is full.
  EXPECT_TRUE(AddSubCodeFiles(t, {"/h/spihead.BIN"}).headChosen);
}

TEST(SubCodeTable, MovesAndDeletesAsTheGridDoes) {
  auto make = [] {
    SubCodeTable t;
    AddSubCodeFiles(t, {"H/SPIHEAD.BIN", "A1.BIN", "B2.BIN", "C3.BIN"});
    return t;
  };
  using P = std::vector<std::string>;
  struct Case {
    const char* name;
    char key;  // '+', '-', 'D'
    int row;
    bool acts;
    P after;
    int rowAfter;
  };
  const Case cases[] = {
      {"+ on row 3", '+', 3, true, {"H/SPIHEAD.BIN", "B2.BIN", "A1.BIN", "C3.BIN"}, 2},
      {"+ on row 2 swaps with the head", '+', 2, true, {"A1.BIN", "H/SPIHEAD.BIN", "B2.BIN", "C3.BIN"}, 1},
      {"+ on the head row", '+', 1, false, {"H/SPIHEAD.BIN", "A1.BIN", "B2.BIN", "C3.BIN"}, 1},
      {"+ below the last", '+', 5, false, {"H/SPIHEAD.BIN", "A1.BIN", "B2.BIN", "C3.BIN"}, 5},
      {"- on row 1 swaps the head down", '-', 1, true, {"A1.BIN", "H/SPIHEAD.BIN", "B2.BIN", "C3.BIN"}, 2},
      {"- on row 3", '-', 3, true, {"H/SPIHEAD.BIN", "A1.BIN", "C3.BIN", "B2.BIN"}, 4},
      {"- on the last filled row", '-', 4, false, {"H/SPIHEAD.BIN", "A1.BIN", "B2.BIN", "C3.BIN"}, 4},
      {"Delete on row 3", 'D', 3, true, {"H/SPIHEAD.BIN", "A1.BIN", "C3.BIN"}, 3},
      {"Delete on the last row", 'D', 4, true, {"H/SPIHEAD.BIN", "A1.BIN", "B2.BIN"}, 4},
      {"Delete on the head row", 'D', 1, true, {"A1.BIN", "B2.BIN", "C3.BIN"}, 1},
      {"Delete below the last", 'D', 5, false, {"H/SPIHEAD.BIN", "A1.BIN", "B2.BIN", "C3.BIN"}, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SubCodeTable t = make();
    int row = c.row;
    bool acted = c.key == '+' ? moveRowUp(t, row) : c.key == '-' ? moveRowDown(t, row) : deleteRow(t, row);
    EXPECT_EQ(acted, c.acts);
    EXPECT_EQ(paths(t), c.after);
    EXPECT_EQ(row, c.rowAfter);
  }
  // The code type travels with its file.
  SubCodeTable t = make();
  int row = 3;
  moveRowUp(t, row);
  EXPECT_EQ(gridCellText(t, 2, 2), "B2h");
  EXPECT_EQ(gridCellText(t, 3, 2), "A1h");
}

TEST(SubCodeTable, DeleteOnTheHeadRowWithNoSubCodesKeepsTheCountAtZero) {
  SubCodeTable t;
  AddSubCodeFiles(t, {"/h/SPIHEAD.BIN"});
  EXPECT_TRUE(deleteRow(t, 1));
  EXPECT_EQ(t.subCodeCount, 0);
  EXPECT_EQ(t.entries[0].path, "/h/SPIHEAD.BIN");
}

TEST(SubCodeTable, EditsOnlySubCodeRowsInColumnsTwoAndThree) {
  SubCodeTable t;
  AddSubCodeFiles(t, {"/h/SPIHEAD.BIN", "/a/CODE_3A.BIN"});
  EXPECT_FALSE(cellEditable(t, 1, 2));  // the "Boot Loader" row
  EXPECT_FALSE(cellEditable(t, 2, 1));
  EXPECT_TRUE(cellEditable(t, 2, 2));
  EXPECT_TRUE(cellEditable(t, 2, 3));
  EXPECT_FALSE(cellEditable(t, 3, 2));  // below the last sub-code

  // The shown text reads back as itself; only the low 8 bits are kept.
  EXPECT_TRUE(setCodeTypeFromText(t, 2, gridCellText(t, 2, 2)));
  EXPECT_EQ(t.entries[1].codeType, 0x3A);
  EXPECT_TRUE(setCodeTypeFromText(t, 2, "300"));
  EXPECT_EQ(t.entries[1].codeType, 300 & 0xFF);
  const ParsedNumber bad = setCodeTypeFromText(t, 2, "zz");
  EXPECT_FALSE(bad);
  EXPECT_EQ(bad.error, "'zz' is not a valid integer value");
  EXPECT_EQ(t.entries[1].codeType, 300 & 0xFF);

  setUpdateFlag(t, 2, 0);
  EXPECT_EQ(gridCellText(t, 2, 3), "FALSE");
  setUpdateFlag(t, 2, 1);
  EXPECT_EQ(gridCellText(t, 2, 3), "TRUE");
}

TEST(SubCodeTable, CellSelectionTexts) {
  SubCodeTable t;
  AddSubCodeFiles(t, {"/h/SPIHEAD.BIN", "/a/FW_B7.BIN"});
  setUpdateFlag(t, 2, 0);
  struct Case {
    int row, column;
    std::string panel2;
    std::optional<std::string> panel3;
  };
  const Case cases[] = {
      {1, 1, "0", "/h/SPIHEAD.BIN"}, {2, 1, "1", "/a/FW_B7.BIN"}, {2, 2, "1", "B7"}, {2, 3, "1", "0"},
      {2, 0, "1", std::nullopt},      {3, 1, "2", std::nullopt},     {11, 2, "10", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.row) + "," + std::to_string(c.column));
    const CellSelectionTexts s = cellSelectionTexts(t, c.row, c.column);
    EXPECT_EQ(s.panel2, c.panel2);
    EXPECT_EQ(s.panel3, c.panel3);
  }
}

}  // namespace
}  // namespace tervalo
