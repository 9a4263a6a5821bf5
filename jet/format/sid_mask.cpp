#include "jet/format/sid_mask.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "jet/format/error.h"
#include "jet/format/header.h"
#include "jet/format/rc4.h"

namespace jet {

namespace {

namespace off = header_offsets;

constexpr std::size_t kFoldedArea = 80;  // bytes from 0x42 taking part in the key
constexpr std::size_t kFoldedBytes = 40;
constexpr unsigned kShiftWrap = 24;

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::vector<std::uint8_t> key_stream(std::uint32_t key) {
    const std::uint8_t k[4] = {static_cast<std::uint8_t>(key), static_cast<std::uint8_t>(key >> 8),
                               static_cast<std::uint8_t>(key >> 16),
                               static_cast<std::uint8_t>(key >> 24)};
    std::vector<std::uint8_t> stream(kLargestPageSize, 0);
    Rc4 rc4(k);
    rc4.apply(stream);
    return stream;
}

}  // namespace

bool is_sid_column(std::string_view table, std::string_view column) {
    return (same_name(table, "MSysACEs") && same_name(column, "SID")) ||
           (same_name(table, "MSysObjects") && same_name(column, "Owner"));
}

std::uint32_t sid_key(const PageBuf& plain_page0) {
    const Bytes page(plain_page0.data(), plain_page0.size());
    if (page[off::kVersion] == 0) {
        throw Error(ErrorKind::jet3,
                    "Changing the password of an Access 97 (Jet 3) database is not supported; "
                    "its password was kept as it is and nothing was written.");
    }
    // Only Jet 4 and ACE have the creation date this key comes from.
    const HeaderLayout& at_header = jet4_format().header;
    std::uint64_t bits = 0;
    for (std::size_t k = 8; k-- > 0;) {
        bits = (bits << 8) | page[at_header.creation_date + k];
    }
    double date = 0;
    std::memcpy(&date, &bits, sizeof date);
    const auto date_mask = password_mask(date);
    std::uint32_t key = le32(page, at_header.creation_date);
    for (std::size_t i = 0; i < kFoldedBytes; ++i) {
        const std::size_t at = 2 * i;
        std::uint8_t b = page[off::kPassword + at];
        if (at < at_header.password_length) {
            b = static_cast<std::uint8_t>(b ^ date_mask[at % 4]);
        }
        key ^= static_cast<std::uint32_t>(b) << (i % kShiftWrap);
    }
    // off::kPassword + kFoldedArea (0x92) stays inside the masked region (to 0x98).
    return key;
}

SidMask::SidMask(std::uint32_t key) : stream_(key_stream(key)) {}

SidMask::SidMask(std::uint32_t from, std::uint32_t to) : stream_(key_stream(from)) {
    const std::vector<std::uint8_t> other = key_stream(to);
    for (std::size_t i = 0; i < stream_.size(); ++i) {
        stream_[i] ^= other[i];
    }
}

bool SidMask::is_identity() const {
    return std::all_of(stream_.begin(), stream_.end(), [](std::uint8_t b) { return b == 0; });
}

void SidMask::apply(MutableBytes value) const {
    if (value.size() > stream_.size()) {
        throw Error(ErrorKind::damaged,
                    "A SID of " + std::to_string(value.size()) + " bytes is longer than a page.");
    }
    for (std::size_t i = 0; i < value.size(); ++i) {
        value[i] ^= stream_[i];
    }
}

}  // namespace jet
