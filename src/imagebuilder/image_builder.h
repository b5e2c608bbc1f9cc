#pragma once
// "Save Bin": assembling a firmware image from the head, the sub-codes and the settings, and
// writing it to a file.
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/console_ui.h"
#include "firmware/file_source.h"
#include "firmware/firmware_state.h"
#include "imagebuilder/settings_block.h"
#include "imagebuilder/sub_code_table.h"

namespace tervalo {

inline constexpr std::uint32_t kSlotSize = 0xC000;          // head and each sub-code
inline constexpr std::uint32_t kRandomFillStart = 0x8000;
inline constexpr std::uint32_t kSettingsAreaSize = 0x8000;  // block and later records after H
inline constexpr char kBuildReadWarningCaption[] = "GetASPISupportInfo:";
inline constexpr char kCreateFileFailedText[] = "Fail to create file";
inline constexpr char kSaveOkText[] = "Svae File OK :";
// A save name, ".bin" included, must stay below this many characters.
inline constexpr std::size_t kSaveNameLimit = 128;

// The generator of the builder's random fill; the window seeds it from the time once, tests
// with a fixed seed. The fill takes the low 8 bits of successive values.
using FillGenerator = std::mt19937;

// The image size: H + 0x8000 when auto-detected, else the size button chosen
// (0x20000, 0x40000, 0x80000, 0x100000; 0 when none is chosen).
struct BinSizeChoice {
  bool autoDetected = true;
  std::uint32_t manualSize = 0;
};
// "1M".."8M" (also "1M Bits") to the byte size; 0 for anything else.
std::uint32_t binSizeFromName(std::string_view name);

// The files, read.
struct BuildInputs {
  struct SubCode {
    std::string path;
    std::vector<std::uint8_t> data;
    std::uint8_t codeType = 0;
    std::uint8_t updateFlag = 0;
  };
  std::string headPath;
  std::vector<std::uint8_t> head;
  std::vector<SubCode> subCodes;
};

struct AssembleResult {
  bool ok = false;
  std::string error;
  std::vector<std::uint8_t> image;
  std::uint32_t settingsOffset = 0;  // H
};

// Checks every limit (settings fields, file sizes, sub-code count, slots against H, image size
// against H + 0x8000, a size chosen), then builds the image: 0xFF where the builder writes
// nothing, random bytes from 0x8000 to H + 0x100, 0xFF from H + 0x100 to H + 0x8000, the head at
// 0, sub-code j at j x 0xC000 with its directory entry, the end offset at H + 0x34 and the
// settings block sealed. Draws from `rng` only when every check passed.
AssembleResult assembleImage(const BuildInputs& inputs, const ImageSettingsInput& settings, BinSizeChoice size,
                             FillGenerator& rng);

struct SaveBinResult {
  bool ok = false;
  std::string error;
  std::uint32_t settingsOffset = 0;
  std::uint32_t imageSize = 0;
};

// "Save Bin" up to the save dialog: reads the settings, the head (entry 0) and sub-codes
// 1..subCodeCount through `files`, checks every limit, builds, then shows H in panel 1 and the
// size in panel 0 of the builder's status bar and makes the image the LoadedImage. Any failure
// shows its box and leaves the LoadedImage as it was.
SaveBinResult SaveBin(LoadedImage& loadedImage, ConsoleUi& ui, FileSource& files, const SubCodeTable& table,
                      const ImageSettingsInput& settings, BinSizeChoice size, FillGenerator& rng);

// The name a chosen save name is written under: its extension (after the last point of the
// file name) removed with the point, ".bin" appended. IMAGE.BIN, IMAGE and IMAGE.DAT give
// IMAGE.bin.
std::string saveFileName(std::string_view chosen);
// Why a save name cannot be used; empty when it can.
std::string saveNameProblem(std::string_view finalName);

struct SaveImageResult {
  bool ok = false;
  std::string name;  // the file written (or that would have been)
  std::string error;
};

// The save dialog's close-query: panel 3 = the name, panel 2 = the length, then the image
// written through a temporary file beside it and renamed into place, and panel 3 =
// "Svae File OK :" + name. A file that cannot be written shows "Fail to create file" and leaves
// no file of that name changed.
SaveImageResult SaveImageFile(ConsoleUi& ui, const LoadedImage& image, std::string_view chosenName);

// Writes bytes to `path` through a temporary file beside it, renamed into place on success.
// On failure nothing of that name is created or changed; the error says why.
bool writeFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t length,
                         std::string& error);

}  // namespace tervalo
