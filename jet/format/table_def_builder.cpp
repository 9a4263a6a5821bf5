#include "jet/format/table_def_builder.h"

#include <algorithm>

#include "jet/format/bytes.h"

namespace jet {

void clear_relationship_fields(MutableBytes logical, std::size_t block_offset,
                               const Format& format) {
    const LogicalIndexLayout& layout = format.logical_index;
    check_range(logical, block_offset, layout.block_size);
    put_le32(logical, block_offset + layout.rel_index, 0xFFFFFFFFu);
    put_le32(logical, block_offset + layout.rel_table_page, 0);
    for (const std::size_t field :
         {layout.rel_table_type, layout.cascade_updates, layout.cascade_deletes, layout.type}) {
        logical[block_offset + field] = 0;
    }
}

TableDefBuilder::TableDefBuilder(const TableDef& def)
    : def_(def), buffer_(def.buffer), length_(def.length()) {
    if (length_ != def.declared_length) {
        put_le32(buffer_, tdef_offsets::kLength, static_cast<std::uint32_t>(length_));
    }
}

void TableDefBuilder::set_row_count(std::uint32_t rows) {
    put_le32(buffer_, def_.format->tdef.row_count, rows);
}

void TableDefBuilder::set_autonumber(std::uint32_t counter) {
    put_le32(buffer_, def_.format->tdef.autonumber, counter);
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

void TableDefBuilder::clear_relationship(std::size_t li) {
    clear_relationship_fields(buffer_, def_.logical_indexes.at(li).block_offset, *def_.format);
}

PageBuf TableDefBuilder::page(std::size_t k, const PageBuf& old_page,
                              std::uint32_t first_page) const {
    const Format& format = *def_.format;
    const std::size_t page_size = format.page_size;
    // Bytes 0..7 of a continuation page are its own header, not definition.
    const std::size_t header = format.tdef.continuation_header;
    PageBuf page = old_page;
    const std::size_t from = k == 0 ? 0 : page_size + (k - 1) * (page_size - header);
    const std::size_t at = k == 0 ? 0 : header;
    for (std::size_t i = 0; at + i < page_size && from + i < buffer_.size(); ++i) {
        page[at + i] = buffer_[from + i];
    }
    const std::uint32_t next =
        k + 1 < def_.pages.size() ? first_page + static_cast<std::uint32_t>(k + 1) : 0;
    put_le32(MutableBytes(page.data(), page.size()), tdef_offsets::kNextPage, next);
    if (!format.tdef.free_space_at_2) {
        // Jet 3 keeps the letters "VC" there on every page.
        put_le16(MutableBytes(page.data(), page.size()), 2, kTableDefJet3Mark);
        return page;
    }
    // The free space (u16 at 2) follows from the definition's length: what
    // the page holds of it, 8 bytes kept free, never below 0. A stale value
    // in the old page is not carried along.
    std::size_t remaining = length_;
    std::size_t here = 0;
    for (std::size_t j = 0; j <= k; ++j) {
        here = std::min(remaining, j == 0 ? page_size : page_size - header);
        remaining -= here;
    }
    const std::size_t used = k == 0 ? here : here + header;
    put_le16(MutableBytes(page.data(), page.size()), 2,
             static_cast<std::uint16_t>(used + 8 >= page_size ? 0 : page_size - used - 8));
    return page;
}

}  // namespace jet
