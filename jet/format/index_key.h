#pragma once
// The order of index entries and the encoding of integer keys.
//
// Order: key bytes compared unsigned and lexicographically (a proper prefix
// sorts first), then the row's page, then its row number. Entries of one
// index are strictly increasing in this order.
//
// Key encoding, per index column, concatenated:
//   flag byte 0x7F non-null ascending, 0x80 non-null descending,
//             0x00 null ascending,     0xFF null descending (no further bytes);
//   integers (Integer, Long, Money): big-endian with the sign bit flipped;
//   descending columns invert every byte after the flag.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/index_page.h"

namespace jet {

inline constexpr std::uint8_t kKeyAscending = 0x7F;
inline constexpr std::uint8_t kKeyDescending = 0x80;
inline constexpr std::uint8_t kKeyNullAscending = 0x00;
inline constexpr std::uint8_t kKeyNullDescending = 0xFF;

std::strong_ordering compare_keys(Bytes a, Bytes b);
// How many bytes `a` and `b` begin with alike.
std::size_t common_prefix(Bytes a, Bytes b);
std::strong_ordering compare_entries(const IndexEntry& a, const IndexEntry& b);
inline bool entry_less(const IndexEntry& a, const IndexEntry& b) {
    return compare_entries(a, b) < 0;
}

// Appends the key of a null column.
void append_null_key(std::vector<std::uint8_t>& out, bool ascending);

// Appends the key of an integer column `width` bytes wide (2 Integer, 4 Long,
// 8 Money) holding `value`.
void append_integer_key(std::vector<std::uint8_t>& out, std::int64_t value, std::size_t width,
                        bool ascending);

// Reads back one integer column from `key` at `offset`; nothing when the
// column is null. Advances `offset` past the column. Throws Error(damaged)
// when the bytes do not form such a column.
std::optional<std::int64_t> read_integer_key(Bytes key, std::size_t& offset, std::size_t width);

// True when the key of an index over `columns` columns has every column null:
// it then consists of exactly `columns` null flags (0x00 or 0xFF).
bool key_is_all_null(Bytes key, std::size_t columns);

}  // namespace jet
