#include "jet/format/data_page_builder.h"

#include <string>

#include "jet/format/bytes.h"
#include "jet/format/error.h"

namespace jet {

namespace {

bool fits(const Format& format, std::size_t rows, std::size_t used, std::size_t length) {
    return rows < kMaxRowsPerDataPage &&
           format.data_page.header_size + 2 * (rows + 1) + used + length <= format.page_size;
}

}  // namespace

RowPlace RowPacker::add(std::size_t length) {
    if (length > format_->max_row_on_page()) {
        throw Error(ErrorKind::damaged, "A row of " + std::to_string(length) +
                                            " bytes is longer than a data page can hold.");
    }
    if (rows_.empty() || !fits(*format_, rows_.back(), used_.back(), length)) {
        rows_.push_back(0);
        used_.push_back(0);
    }
    RowPlace place{static_cast<std::uint32_t>(rows_.size() - 1),
                   static_cast<std::uint8_t>(rows_.back())};
    rows_.back() = static_cast<std::uint16_t>(rows_.back() + 1);
    used_.back() = static_cast<std::uint16_t>(used_.back() + length);
    return place;
}

PageBuf build_data_page(const Format& format, std::span<const std::vector<std::uint8_t>> rows,
                        std::uint32_t owner, std::uint32_t stamp) {
    const DataPageLayout& at = format.data_page;
    const std::size_t header = at.header_size;
    PageBuf page = blank_page(format);
    MutableBytes p(page.data(), page.size());
    std::size_t used = 0;
    for (const auto& r : rows) {
        used += r.size();
    }
    if (rows.size() > kMaxRowsPerDataPage || header + 2 * rows.size() + used > page.size() ||
        (at.stamp == kAbsent && stamp != 0)) {
        throw Error(ErrorKind::damaged, "Internal error: " + std::to_string(rows.size()) +
                                            " rows of " + std::to_string(used) +
                                            " bytes do not fit on one data page.");
    }
    p[0] = 0x01;
    p[1] = 0x01;
    put_le32(p, 4, owner);
    if (at.stamp != kAbsent) {
        put_le32(p, at.stamp, stamp);
    }
    put_le16(p, at.row_count, static_cast<std::uint16_t>(rows.size()));
    std::size_t pos = page.size();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        pos -= rows[i].size();
        std::copy(rows[i].begin(), rows[i].end(), page.begin() + static_cast<std::ptrdiff_t>(pos));
        put_le16(p, header + 2 * i, static_cast<std::uint16_t>(pos));
    }
    put_le16(p, 2, static_cast<std::uint16_t>(pos - (header + 2 * rows.size())));
    return page;
}

}  // namespace jet
