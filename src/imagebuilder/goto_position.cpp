#include "imagebuilder/goto_position.h"

namespace tervalo {

std::int32_t sectorFromPosition(GotoUnit unit, std::uint32_t value) {
  switch (unit) {
    case GotoUnit::Byte: return static_cast<std::int32_t>(value / 512 + 1);
    case GotoUnit::Word: return static_cast<std::int32_t>(value / 256 + 1);
    case GotoUnit::Sector: break;
  }
  return static_cast<std::int32_t>(value);
}

std::optional<std::int32_t> currentSectorAfterGoto(std::uint8_t gotoMode, std::uint32_t gotoValue) {
  if (gotoMode == 0 || (gotoMode & kGotoUnconfirmed) != 0) return std::nullopt;
  const std::uint8_t unit = gotoMode & 0x0F;
  if (unit == 1) return sectorFromPosition(GotoUnit::Byte, gotoValue);
  if (unit == 2) return sectorFromPosition(GotoUnit::Word, gotoValue);
  return sectorFromPosition(GotoUnit::Sector, gotoValue);
}

}  // namespace tervalo
