#pragma once
// Little- and big-endian field access on byte spans. Every accessor checks its
// bounds; a read past the end throws jet::Error(damaged) with `what` as context,
// so callers pass a description of the structure ("table definition on page 12").

#include <cstdint>
#include <span>
#include <string>

#include "jet/format/error.h"

namespace jet {

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

[[noreturn]] void throw_out_of_bounds(std::size_t offset, std::size_t width, std::size_t size);

inline void check_range(Bytes b, std::size_t offset, std::size_t width) {
    if (offset > b.size() || width > b.size() - offset) {
        throw_out_of_bounds(offset, width, b.size());
    }
}

inline std::uint8_t u8(Bytes b, std::size_t off) {
    check_range(b, off, 1);
    return b[off];
}
inline std::uint16_t le16(Bytes b, std::size_t off) {
    check_range(b, off, 2);
    return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}
inline std::uint32_t le24(Bytes b, std::size_t off) {
    check_range(b, off, 3);
    return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
           (static_cast<std::uint32_t>(b[off + 2]) << 16);
}
inline std::uint32_t le32(Bytes b, std::size_t off) {
    check_range(b, off, 4);
    return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
           (static_cast<std::uint32_t>(b[off + 2]) << 16) |
           (static_cast<std::uint32_t>(b[off + 3]) << 24);
}
inline std::uint32_t be24(Bytes b, std::size_t off) {
    check_range(b, off, 3);
    return (static_cast<std::uint32_t>(b[off]) << 16) |
           (static_cast<std::uint32_t>(b[off + 1]) << 8) | static_cast<std::uint32_t>(b[off + 2]);
}
inline std::uint32_t be32(Bytes b, std::size_t off) {
    check_range(b, off, 4);
    return (static_cast<std::uint32_t>(b[off]) << 24) |
           (static_cast<std::uint32_t>(b[off + 1]) << 16) |
           (static_cast<std::uint32_t>(b[off + 2]) << 8) | static_cast<std::uint32_t>(b[off + 3]);
}

inline void put_le16(MutableBytes b, std::size_t off, std::uint16_t v) {
    check_range(b, off, 2);
    b[off] = static_cast<std::uint8_t>(v);
    b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_le32(MutableBytes b, std::size_t off, std::uint32_t v) {
    check_range(b, off, 4);
    for (int k = 0; k < 4; ++k) {
        b[off + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(v >> (8 * k));
    }
}
inline void put_be24(MutableBytes b, std::size_t off, std::uint32_t v) {
    check_range(b, off, 3);
    b[off] = static_cast<std::uint8_t>(v >> 16);
    b[off + 1] = static_cast<std::uint8_t>(v >> 8);
    b[off + 2] = static_cast<std::uint8_t>(v);
}
inline void put_be32(MutableBytes b, std::size_t off, std::uint32_t v) {
    check_range(b, off, 4);
    for (int k = 0; k < 4; ++k) {
        b[off + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(v >> (8 * (3 - k)));
    }
}

// A row pointer as stored in pages, rows and table definitions:
// byte 0 = row number, bytes 1-3 = page number (little-endian).
struct RowPointer {
    std::uint32_t page = 0;
    std::uint8_t row = 0;
    bool operator==(const RowPointer&) const = default;
    auto operator<=>(const RowPointer&) const = default;
    static RowPointer decode(std::uint32_t raw) {
        return {raw >> 8, static_cast<std::uint8_t>(raw & 0xFF)};
    }
    std::uint32_t encode() const { return (page << 8) | row; }
};

}  // namespace jet
