#include "jet/data_page_builder.h"

#include <string>

#include "jet/bytes.h"
#include "jet/error.h"

namespace jet {

namespace {

constexpr std::size_t kHeader = 14;

bool fits(std::size_t rows, std::size_t used, std::size_t length) {
    return rows < kMaxRowsPerDataPage && kHeader + 2 * (rows + 1) + used + length <= kPageSize;
}

}  // namespace

RowPlace RowPacker::add(std::size_t length) {
    if (length > kMaxRowOnPage) {
        throw Error(ErrorKind::damaged, "A row of " + std::to_string(length) +
                                            " bytes is longer than a data page can hold.");
    }
    if (rows_.empty() || !fits(rows_.back(), used_.back(), length)) {
        rows_.push_back(0);
        used_.push_back(0);
    }
    RowPlace place{static_cast<std::uint32_t>(rows_.size() - 1),
                   static_cast<std::uint8_t>(rows_.back())};
    rows_.back() = static_cast<std::uint16_t>(rows_.back() + 1);
    used_.back() = static_cast<std::uint16_t>(used_.back() + length);
    return place;
}

PageBuf build_data_page(std::span<const std::vector<std::uint8_t>> rows, std::uint32_t owner,
                        std::uint32_t stamp) {
    PageBuf page{};
    MutableBytes p(page.data(), page.size());
    std::size_t used = 0;
    for (const auto& r : rows) {
        used += r.size();
    }
    if (rows.size() > kMaxRowsPerDataPage || kHeader + 2 * rows.size() + used > kPageSize) {
        throw Error(ErrorKind::damaged, "Internal error: " + std::to_string(rows.size()) +
                                            " rows of " + std::to_string(used) +
                                            " bytes do not fit on one data page.");
    }
    p[0] = 0x01;
    p[1] = 0x01;
    put_le32(p, 4, owner);
    put_le32(p, 8, stamp);
    put_le16(p, 12, static_cast<std::uint16_t>(rows.size()));
    std::size_t pos = kPageSize;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        pos -= rows[i].size();
        std::copy(rows[i].begin(), rows[i].end(), page.begin() + static_cast<std::ptrdiff_t>(pos));
        put_le16(p, kHeader + 2 * i, static_cast<std::uint16_t>(pos));
    }
    put_le16(p, 2, static_cast<std::uint16_t>(pos - (kHeader + 2 * rows.size())));
    return page;
}

}  // namespace jet
