#pragma once
// Reading, programming and erasing the controller's SPI flash, one small step at a time, on the
// controller chosen as the upgrade target.
#include <cstdint>

#include "core/console.h"

namespace tervalo {

inline constexpr std::uint32_t kSpiReadStep = 512;
inline constexpr std::uint32_t kSpiPageSize = 256;
inline constexpr std::uint32_t kSpiSectorSize = 4096;

// Reads `length` bytes at `address` into dest; dest holds `length` rounded up to 512.
bool ReadSpi(Console& console, std::uint32_t address, std::uint32_t length, std::uint8_t* dest);
// Programs `length` bytes from src in 256-byte pages; src holds `length` rounded up to 256.
bool WriteSpi(Console& console, std::uint32_t address, std::uint32_t length, const std::uint8_t* src);
// Erases the 4 KB sectors from `address` while below `address` + `length`.
bool EraseSpi(Console& console, std::uint32_t address, std::uint32_t length);

}  // namespace tervalo
