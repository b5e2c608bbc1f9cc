#pragma once
// Explicit little- and big-endian access to byte layouts. Layouts are never built by casting structs.
#include <cstddef>
#include <cstdint>
#include <span>

namespace tervalo {

using Bytes = std::span<std::uint8_t>;
using ConstBytes = std::span<const std::uint8_t>;

// Reads `width` bytes (at most 8) at `offset`, least significant first.
inline std::uint64_t readLe(ConstBytes b, std::size_t offset, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{b[offset + i]} << (8 * i);
  return v;
}

inline void writeLe(Bytes b, std::size_t offset, std::size_t width, std::uint64_t value) {
  for (std::size_t i = 0; i < width; ++i) b[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Reads `width` bytes (at most 8) at `offset`, most significant first.
inline std::uint64_t readBe(ConstBytes b, std::size_t offset, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = (v << 8) | b[offset + i];
  return v;
}

inline void writeBe(Bytes b, std::size_t offset, std::size_t width, std::uint64_t value) {
  for (std::size_t i = 0; i < width; ++i)
    b[offset + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

}  // namespace tervalo
