#include "jet/format/index_key.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "jet/format/error.h"

namespace jet {

std::size_t common_prefix(Bytes a, Bytes b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    // Keys are short and mostly differ early, or share a long start on one
    // page: eight bytes compared at once, the word that differs then
    // looked into.
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 8 <= n; i += 8) {
            std::uint64_t x = 0;
            std::uint64_t y = 0;
            std::memcpy(&x, a.data() + i, 8);
            std::memcpy(&y, b.data() + i, 8);
            if (x != y) {
                return i + static_cast<std::size_t>(std::countr_zero(x ^ y)) / 8;
            }
        }
    }
    while (i < n && a[i] == b[i]) {
        ++i;
    }
    return i;
}

std::strong_ordering compare_keys(Bytes a, Bytes b) {
    const std::size_t i = common_prefix(a, b);
    if (i < a.size() && i < b.size()) {
        return a[i] <=> b[i];
    }
    return a.size() <=> b.size();
}

std::strong_ordering compare_entries(const IndexEntry& a, const IndexEntry& b) {
    if (const auto c = compare_keys(a.key, b.key); c != 0) {
        return c;
    }
    if (const auto c = a.row.page <=> b.row.page; c != 0) {
        return c;
    }
    return a.row.row <=> b.row.row;
}

void append_null_key(std::vector<std::uint8_t>& out, bool ascending) {
    out.push_back(ascending ? kKeyNullAscending : kKeyNullDescending);
}

void append_integer_key(std::vector<std::uint8_t>& out, std::int64_t value, std::size_t width,
                        bool ascending) {
    if (width == 0 || width > 8) {
        throw Error(
            ErrorKind::invalid_argument,
            "An integer index key must be 1 to 8 bytes wide, not " + std::to_string(width) + ".");
    }
    out.push_back(ascending ? kKeyAscending : kKeyDescending);
    auto bits = static_cast<std::uint64_t>(value);
    bits ^= std::uint64_t{1} << (8 * width - 1);
    for (std::size_t i = 0; i < width; ++i) {
        auto byte = static_cast<std::uint8_t>(bits >> (8 * (width - 1 - i)));
        if (!ascending) {
            byte = static_cast<std::uint8_t>(~byte);
        }
        out.push_back(byte);
    }
}

std::optional<std::int64_t> read_integer_key(Bytes key, std::size_t& offset, std::size_t width) {
    const std::uint8_t flag = u8(key, offset);
    if (flag == kKeyNullAscending || flag == kKeyNullDescending) {
        offset += 1;
        return std::nullopt;
    }
    if ((flag != kKeyAscending && flag != kKeyDescending) || width == 0 || width > 8) {
        throw Error(ErrorKind::damaged, "An integer index key starts with flag " +
                                            std::to_string(flag) +
                                            " instead of 0x7F, 0x80, 0x00 or 0xFF.");
    }
    check_range(key, offset + 1, width);
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < width; ++i) {
        std::uint8_t byte = key[offset + 1 + i];
        if (flag == kKeyDescending) {
            byte = static_cast<std::uint8_t>(~byte);
        }
        bits = (bits << 8) | byte;
    }
    offset += 1 + width;
    const std::uint64_t sign = std::uint64_t{1} << (8 * width - 1);
    bits ^= sign;
    // Sign-extend from `width` bytes.
    if (width < 8 && (bits & sign) != 0) {
        bits |= ~((sign << 1) - 1);
    }
    return static_cast<std::int64_t>(bits);
}

bool key_is_all_null(Bytes key, std::size_t columns) {
    if (key.size() != columns) {
        return false;
    }
    return std::all_of(key.begin(), key.end(), [](std::uint8_t b) {
        return b == kKeyNullAscending || b == kKeyNullDescending;
    });
}

}  // namespace jet
