#include "jet/format/table_def.h"

#include <algorithm>
#include <set>

#include "jet/format/data_page.h"
#include "jet/format/error.h"
#include "jet/format/text.h"

namespace jet {

namespace {

class Reader {
  public:
    Reader(const std::vector<std::uint8_t>& buffer, std::string where, const TextCodec& text,
           std::size_t name_length_size)
        : b_(buffer.data(), buffer.size()),
          where_(std::move(where)),
          text_(text),
          name_length_size_(name_length_size) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw Error(ErrorKind::damaged, "The database is damaged: the table definition at " +
                                            where_ + " " + what +
                                            ". Restore the file from a backup.");
    }
    void need(std::size_t offset, std::size_t width, const char* what) const {
        if (offset > b_.size() || width > b_.size() - offset) {
            fail("ends inside its " + std::string(what) + " (offset " + std::to_string(offset) +
                 ", length " + std::to_string(b_.size()) + ")");
        }
    }
    Bytes b() const { return b_; }
    std::string name_at(std::size_t& offset, const char* what) const {
        const std::size_t w = name_length_size_;
        need(offset, w, what);
        const std::size_t len = w == 1 ? u8(b_, offset) : le16(b_, offset);
        need(offset + w, len, what);
        std::string s = text_.name(b_.subspan(offset + w, len));
        offset += w + len;
        return s;
    }

  private:
    Bytes b_;
    std::string where_;
    const TextCodec& text_;
    std::size_t name_length_size_;
};

RowPointer pointer_at(Bytes b, std::size_t offset) {
    return RowPointer::decode(le32(b, offset));
}

}  // namespace

const Column* TableDef::find_column(std::string_view name) const {
    for (const Column& c : columns) {
        if (names_equal(c.name, name)) {
            return &c;
        }
    }
    return nullptr;
}

const Column* TableDef::column_by_number(std::uint16_t number) const {
    for (const Column& c : columns) {
        if (c.number == number) {
            return &c;
        }
    }
    return nullptr;
}

bool TableDef::zero_padded() const {
    if (declared_length <= end_offset || declared_length > buffer.size()) {
        return false;
    }
    return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(end_offset),
                       buffer.begin() + static_cast<std::ptrdiff_t>(declared_length),
                       [](std::uint8_t b) { return b == 0; });
}

const LongValueMaps* TableDef::long_value_maps_for(std::uint16_t column_number) const {
    for (const LongValueMaps& m : long_value_maps) {
        if (m.column == column_number) {
            return &m;
        }
    }
    return nullptr;
}

std::pair<std::uint32_t, std::size_t> TableDef::logical_to_physical(
    std::size_t logical_offset) const {
    const std::size_t page_size = format->page_size;
    const std::size_t header = format->tdef.continuation_header;
    if (logical_offset < page_size) {
        return {pages.empty() ? page : pages.front(), logical_offset};
    }
    const std::size_t rest = logical_offset - page_size;
    const std::size_t per_page = page_size - header;
    const std::size_t index = 1 + rest / per_page;
    if (index >= pages.size()) {
        throw Error(ErrorKind::invalid_argument, "Offset " + std::to_string(logical_offset) +
                                                     " lies past the table definition on page " +
                                                     std::to_string(page) + ".");
    }
    return {pages[index], header + rest % per_page};
}

TableDef read_table_def(const PageFile& file, std::uint32_t page) {
    const Format& format = file.format();
    const TableDefLayout& off = format.tdef;
    TableDef t;
    t.format = &format;
    t.page = page;
    // Follow the chain of TDEF pages; a chain can be no longer than the file
    // and must not revisit a page.
    std::set<std::uint32_t> seen;
    std::uint32_t next = page;
    while (next != 0) {
        if (next >= file.page_count()) {
            throw Error(ErrorKind::damaged,
                        "The database \"" + file.path().string() +
                            "\" is damaged: the table definition starting on page " +
                            std::to_string(page) + " continues on page " + std::to_string(next) +
                            ", past the end of the file (" + std::to_string(file.page_count()) +
                            " pages). Restore it from a backup.");
        }
        if (!seen.insert(next).second) {
            throw Error(ErrorKind::damaged, "The database is damaged: the table definition at " +
                                                file.where(page) + " loops back to page " +
                                                std::to_string(next) +
                                                ". Restore it from a backup.");
        }
        const PageBuf p = file.read(next);
        if (p[0] != kPageTypeTableDef) {
            throw Error(ErrorKind::damaged,
                        "The database is damaged: " + file.where(next) +
                            (next == page ? std::string(" should hold a table definition")
                                          : " should continue the table definition of page " +
                                                std::to_string(page)) +
                            " but has page type " + std::to_string(p[0]) +
                            ". Restore it from a backup.");
        }
        if (t.pages.empty()) {
            t.buffer.assign(p.begin(), p.end());
        } else {
            t.buffer.insert(t.buffer.end(),
                            p.begin() + static_cast<std::ptrdiff_t>(off.continuation_header),
                            p.end());
        }
        t.pages.push_back(next);
        next = le32(Bytes(p.data(), p.size()), tdef_offsets::kNextPage);
    }

    const ColumnLayout& col = format.column;
    const RealIndexLayout& ri = format.real_index;
    const LogicalIndexLayout& li = format.logical_index;
    const Reader r(t.buffer, file.where(page), file.text(), off.name_length_size);
    const Bytes b = r.b();
    r.need(0, off.index_stats, "fixed block");
    t.declared_length = le32(b, tdef_offsets::kLength);
    t.magic = off.magic == kAbsent ? 0 : le32(b, off.magic);
    t.row_count = le32(b, off.row_count);
    t.autonumber = le32(b, off.autonumber);
    t.table_type = u8(b, off.table_type);
    t.max_columns = le16(b, off.max_columns);
    t.var_column_count = le16(b, off.var_columns);
    t.column_count = le16(b, off.column_count);
    t.logical_index_count = le32(b, off.logical_index_count);
    t.real_index_count = le32(b, off.real_index_count);
    t.owned_map = pointer_at(b, off.owned_map);
    t.free_map = pointer_at(b, off.free_map);

    // Counts are bounded by what the buffer can hold before anything is reserved.
    if (t.real_index_count > t.buffer.size() / (off.index_stats_size + ri.block_size) ||
        t.logical_index_count > t.buffer.size() / li.block_size ||
        t.column_count > t.buffer.size() / col.block_size) {
        r.fail("claims " + std::to_string(t.column_count) + " columns, " +
               std::to_string(t.real_index_count) + " indexes and " +
               std::to_string(t.logical_index_count) + " index entries, more than it can hold");
    }

    std::size_t o = off.index_stats;
    std::vector<IndexStats> stats;
    const std::size_t stats_size = off.index_stats_size;
    for (std::uint32_t i = 0; i < t.real_index_count; ++i) {
        r.need(o, stats_size, "index statistics");
        stats.push_back(
            IndexStats{le32(b, o), le32(b, o + 4), stats_size > 8 ? le32(b, o + 8) : 0, o});
        o += stats_size;
    }

    t.columns.reserve(t.column_count);
    for (std::uint16_t i = 0; i < t.column_count; ++i) {
        r.need(o, col.block_size, "column definitions");
        Column c;
        c.block_offset = o;
        c.type = u8(b, o);
        c.number = le16(b, o + col.number);
        c.var_index = le16(b, o + col.var_index);
        c.unknown_index = le16(b, o + col.unknown_index);
        c.misc = le16(b, o + col.misc);
        c.misc_ext = le16(b, o + col.misc_ext);
        c.flags = u8(b, o + col.flags);
        c.ext_flags = col.ext_flags == kAbsent ? 0 : u8(b, o + col.ext_flags);
        c.fixed_offset = le16(b, o + col.fixed_offset);
        c.length = le16(b, o + col.length);
        t.columns.push_back(std::move(c));
        o += col.block_size;
    }
    for (Column& c : t.columns) {
        c.name = r.name_at(o, "column names");
    }
    t.first_var_column = 0xFFFF;
    for (const Column& c : t.columns) {
        if (!c.is_fixed()) {
            t.first_var_column = std::min(t.first_var_column, c.number);
        }
    }

    t.real_indexes.reserve(t.real_index_count);
    for (std::uint32_t i = 0; i < t.real_index_count; ++i) {
        r.need(o, ri.block_size, "index definitions");
        RealIndex x;
        x.ordinal = i;
        x.block_offset = o;
        for (std::size_t k = 0; k < 10; ++k) {
            const std::size_t at = o + ri.columns + 3 * k;
            const std::uint16_t number = le16(b, at);
            if (number != 0xFFFF) {
                x.columns.push_back(IndexColumn{number, u8(b, at + 2)});
            }
        }
        x.map_field = o + ri.map;
        x.root_field = o + ri.root;
        x.map = pointer_at(b, x.map_field);
        x.root_page = le32(b, x.root_field);
        x.unknown_42 = ri.unknown == kAbsent ? 0 : le32(b, o + ri.unknown);
        x.flags = u8(b, o + ri.flags);
        x.stats = stats[i];
        t.real_indexes.push_back(std::move(x));
        o += ri.block_size;
    }

    t.logical_indexes.reserve(t.logical_index_count);
    for (std::uint32_t i = 0; i < t.logical_index_count; ++i) {
        r.need(o, li.block_size, "index entries");
        LogicalIndex x;
        x.block_offset = o;
        x.number = le32(b, o + li.number);
        x.real_index = le32(b, o + li.real_index);
        x.rel_table_type = u8(b, o + li.rel_table_type);
        x.rel_index = static_cast<std::int32_t>(le32(b, o + li.rel_index));
        x.rel_table_page_field = o + li.rel_table_page;
        x.rel_table_page = le32(b, x.rel_table_page_field);
        x.cascade_updates = u8(b, o + li.cascade_updates);
        x.cascade_deletes = u8(b, o + li.cascade_deletes);
        x.type = u8(b, o + li.type);
        t.logical_indexes.push_back(std::move(x));
        o += li.block_size;
    }
    for (LogicalIndex& x : t.logical_indexes) {
        x.name = r.name_at(o, "index names");
    }

    // Trailer: the usage maps of each memo/OLE column, ended by 0xFFFF.
    for (;;) {
        r.need(o, 2, "long-value map list");
        const std::uint16_t column = le16(b, o);
        if (column == 0xFFFF) {
            o += 2;
            break;
        }
        r.need(o, 10, "long-value map list");
        LongValueMaps m;
        m.column = column;
        m.owned = pointer_at(b, o + 2);
        m.free = pointer_at(b, o + 6);
        m.offset = o;
        t.long_value_maps.push_back(m);
        o += 10;
    }
    t.end_offset = o;
    // The trailer, not the type byte, tells which calculated columns hold
    // their result as a long value.
    for (Column& c : t.columns) {
        c.calculated_long_value = c.is_calculated() && t.long_value_maps_for(c.number) != nullptr;
    }
    return t;
}

const char* column_type_name(std::uint8_t type) {
    switch (static_cast<ColumnType>(type)) {
        case ColumnType::boolean:
            return "Boolean";
        case ColumnType::byte:
            return "Byte";
        case ColumnType::integer:
            return "Integer";
        case ColumnType::long_integer:
            return "Long Integer";
        case ColumnType::money:
            return "Currency";
        case ColumnType::single:
            return "Single";
        case ColumnType::double_:
            return "Double";
        case ColumnType::datetime:
            return "DateTime";
        case ColumnType::binary:
            return "Binary";
        case ColumnType::text:
            return "Text";
        case ColumnType::ole:
            return "OLE";
        case ColumnType::memo:
            return "Memo";
        case ColumnType::complex:
            return "Complex";
        case ColumnType::big_int:
            return "Large Number";
        case ColumnType::ext_datetime:
            return "Date/Time Extended";
        case ColumnType::guid:
            return "Replication ID";
        case ColumnType::numeric:
            return "Numeric";
        case ColumnType::fixed_binary:
            return "Fixed Binary";
    }
    return "Unknown";
}

}  // namespace jet
