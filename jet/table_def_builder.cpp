#include "jet/table_def_builder.h"

#include <algorithm>

#include "jet/bytes.h"

namespace jet {

namespace {

// Bytes 0..7 of a continuation page are its own header, not definition.
constexpr std::size_t kContinuationHeader = 8;

}  // namespace

TableDefBuilder::TableDefBuilder(const TableDef& def) : def_(def), buffer_(def.buffer) {}

void TableDefBuilder::set_row_count(std::uint32_t rows) {
    put_le32(buffer_, tdef_offsets::kRowCount, rows);
}

void TableDefBuilder::set_autonumber(std::uint32_t counter) {
    put_le32(buffer_, tdef_offsets::kAutonumber, counter);
}

void TableDefBuilder::set_index(std::size_t ri, std::uint32_t root, std::uint32_t rows,
                                std::uint32_t distinct) {
    const RealIndex& real = def_.real_indexes.at(ri);
    put_le32(buffer_, real.root_offset(), root);
    if (real.stats.offset != 0) {
        if (real.stats.a != 0) {
            put_le32(buffer_, real.stats.offset, rows);
        }
        put_le32(buffer_, real.stats.offset + 4, distinct);
    }
}

void TableDefBuilder::set_map(std::size_t pointer_offset, RowPointer row) {
    put_le32(buffer_, pointer_offset, row.encode());
}

void TableDefBuilder::remap_related_tables(const std::map<std::uint32_t, std::uint32_t>& moved) {
    for (const auto& li : def_.logical_indexes) {
        if (auto it = moved.find(li.rel_table_page); li.rel_table_page != 0 && it != moved.end()) {
            put_le32(buffer_, li.rel_table_page_offset(), it->second);
        }
    }
}

PageBuf TableDefBuilder::page(std::size_t k, const PageBuf& old_page,
                              std::uint32_t first_page) const {
    PageBuf page = old_page;
    const std::size_t from = k == 0 ? 0 : kPageSize + (k - 1) * (kPageSize - kContinuationHeader);
    const std::size_t at = k == 0 ? 0 : kContinuationHeader;
    for (std::size_t i = 0; at + i < kPageSize && from + i < buffer_.size(); ++i) {
        page[at + i] = buffer_[from + i];
    }
    const std::uint32_t next =
        k + 1 < def_.pages.size() ? first_page + static_cast<std::uint32_t>(k + 1) : 0;
    put_le32(MutableBytes(page.data(), page.size()), tdef_offsets::kNextPage, next);
    // The free space (u16 at 2) follows from the definition's length: what
    // the page holds of it, 8 bytes kept free, never below 0. A stale value
    // in the old page is not carried along.
    std::size_t remaining = def_.declared_length;
    std::size_t here = 0;
    for (std::size_t j = 0; j <= k; ++j) {
        here = std::min(remaining, j == 0 ? kPageSize : kPageSize - kContinuationHeader);
        remaining -= here;
    }
    const std::size_t used = k == 0 ? here : here + kContinuationHeader;
    put_le16(MutableBytes(page.data(), page.size()), 2,
             static_cast<std::uint16_t>(used + 8 >= kPageSize ? 0 : kPageSize - used - 8));
    return page;
}

}  // namespace jet
