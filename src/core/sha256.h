#pragma once
// SHA-256 (FIPS 180-4), for checksums that other tools (sha256sum) can check.
#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace tervalo {

std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> data);
// Lower-case hexadecimal, as sha256sum prints it.
std::string sha256Hex(std::span<const std::uint8_t> data);

}  // namespace tervalo
