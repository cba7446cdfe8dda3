#pragma once

// Explicit loads and stores of wire fields. Little-endian fields are built
// byte by byte; network-order fields are kept in memory exactly as their wire
// bytes (like in_addr::s_addr), so they are copied without conversion.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace harlune::protocol {

using Bytes = std::span<std::uint8_t>;
using ConstBytes = std::span<const std::uint8_t>;

inline std::uint16_t LoadLe16(ConstBytes bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline std::uint32_t LoadLe32(ConstBytes bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset]) |
         (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
         (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

inline std::uint64_t LoadLe64(ConstBytes bytes, std::size_t offset) {
  return static_cast<std::uint64_t>(LoadLe32(bytes, offset)) |
         (static_cast<std::uint64_t>(LoadLe32(bytes, offset + 4)) << 32);
}

// Header fields on the wire are big-endian (network order).
inline std::uint16_t LoadBe16(ConstBytes bytes, std::size_t offset) {
  return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

inline std::uint32_t LoadBe32(ConstBytes bytes, std::size_t offset) {
  return (std::uint32_t{LoadBe16(bytes, offset)} << 16) | LoadBe16(bytes, offset + 2);
}

inline void StoreLe16(Bytes bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void StoreLe32(Bytes bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

inline void StoreLe64(Bytes bytes, std::size_t offset, std::uint64_t value) {
  StoreLe32(bytes, offset, static_cast<std::uint32_t>(value));
  StoreLe32(bytes, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

// A network-order value is the wire bytes themselves.
template <typename T>
T LoadRaw(ConstBytes bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

template <typename T>
void StoreRaw(Bytes bytes, std::size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

// Host-order <-> network-order for 16- and 32-bit values, portable and
// constexpr (the byte order of the host is looked up at compile time).
constexpr std::uint16_t ByteSwap16(std::uint16_t v) {
  return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}
constexpr std::uint32_t ByteSwap32(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

constexpr std::uint16_t HostToNet16(std::uint16_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    return ByteSwap16(v);
  } else {
    return v;
  }
}
constexpr std::uint32_t HostToNet32(std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    return ByteSwap32(v);
  } else {
    return v;
  }
}
constexpr std::uint16_t NetToHost16(std::uint16_t v) { return HostToNet16(v); }
constexpr std::uint32_t NetToHost32(std::uint32_t v) { return HostToNet32(v); }

}  // namespace harlune::protocol
