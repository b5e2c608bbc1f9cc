#pragma once
// The GoTo dialog's conversion of a byte, word or sector position into a 1-based sector number.
#include <cstdint>
#include <optional>

namespace tervalo {

// GotoMode: low nibble the unit, bit 4 set while the dialog is not confirmed, 0 when cancelled.
enum class GotoUnit : std::uint8_t { Byte = 1, Word = 2, Sector = 3 };
inline constexpr std::uint8_t kGotoUnconfirmed = 0x10;

// Byte: V / 512 + 1; Word: V / 256 + 1; Sector: V as typed (V read unsigned).
std::int32_t sectorFromPosition(GotoUnit unit, std::uint32_t value);

// The CurrentSector after the dialog closed with `gotoMode`, or nullopt when it was cancelled
// or never confirmed (CurrentSector stays as it was).
std::optional<std::int32_t> currentSectorAfterGoto(std::uint8_t gotoMode, std::uint32_t gotoValue);

}  // namespace tervalo
