#include "jet/format/row.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "jet/format/error.h"
#include "jet/format/long_value.h"
#include "jet/format/text.h"

namespace jet {

namespace {

[[noreturn]] void damaged(const std::string& what, const std::string& msg) {
    throw Error(ErrorKind::damaged,
                "The database is damaged: " + what + " " + msg + ". Restore it from a backup.");
}

template <typename T>
T read_le(Bytes b, std::size_t offset) {
    check_range(b, offset, sizeof(T));
    std::uint64_t bits = 0;
    for (std::size_t k = 0; k < sizeof(T); ++k) {
        bits |= static_cast<std::uint64_t>(b[offset + k]) << (8 * k);
    }
    if constexpr (sizeof(T) == 8) {
        T v;
        std::memcpy(&v, &bits, 8);
        return v;
    } else if constexpr (sizeof(T) == 4) {
        const auto narrow = static_cast<std::uint32_t>(bits);
        T v;
        std::memcpy(&v, &narrow, 4);
        return v;
    } else if constexpr (sizeof(T) == 2) {
        const auto narrow = static_cast<std::uint16_t>(bits);
        T v;
        std::memcpy(&v, &narrow, 2);
        return v;
    } else {
        return static_cast<T>(bits);
    }
}

}  // namespace

// The byte width a fixed value of each type needs (0 = any).
std::size_t value_width(std::uint8_t type) {
    switch (static_cast<ColumnType>(type)) {
        case ColumnType::byte:
            return 1;
        case ColumnType::integer:
            return 2;
        case ColumnType::long_integer:
        case ColumnType::single:
        case ColumnType::complex:
            return 4;
        case ColumnType::money:
        case ColumnType::double_:
        case ColumnType::datetime:
        case ColumnType::big_int:
            return 8;
        case ColumnType::ext_datetime:
            return 42;
        case ColumnType::guid:
            return 16;
        case ColumnType::numeric:
            return 17;
        default:
            return 0;
    }
}

bool RowLayout::not_null(std::uint16_t column_number) const {
    if (column_number >= column_count) {
        return false;
    }
    return (row_mask_byte(column_number) >> (column_number % 8)) & 1u;
}

namespace {

// The null mask, from the end of the row.
void read_null_mask(RowLayout& l, Bytes row, std::size_t count_size, const std::string& what) {
    l.null_mask_size = (static_cast<std::size_t>(l.column_count) + 7) / 8;
    if (row.size() < count_size + l.null_mask_size) {
        damaged(what, "is too short (" + std::to_string(row.size()) +
                          " bytes) for the null mask of " + std::to_string(l.column_count) +
                          " columns");
    }
    l.null_mask_offset = row.size() - l.null_mask_size;
    const auto mask = row.subspan(l.null_mask_offset);
    if (l.null_mask_size <= l.mask_small.size()) {
        std::copy(mask.begin(), mask.end(), l.mask_small.begin());
    } else {
        l.mask_large.assign(mask.begin(), mask.end());
    }
    l.var_table_offset = l.null_mask_offset;
}

[[noreturn]] void var_column_outside(const RowLayout& l, std::size_t k, std::size_t start,
                                     std::size_t end, std::size_t data_start,
                                     const std::string& what) {
    damaged(what, "has variable column " + std::to_string(k) + " at bytes " +
                      std::to_string(start) + ".." + std::to_string(end) +
                      ", outside its data area (" + std::to_string(data_start) + ".." +
                      std::to_string(l.var_table_offset) + ")");
}

// The offsets of a row whose variable slots are not all in order. A slot no
// column of the definition reads (a deleted column's) may hold anything:
// nothing reads it, and real files carry such slots out of order. The slots
// of the definition's columns must still lie in order inside the data area.
void check_read_var_ranges(const RowLayout& l, const TableDef& table, std::size_t data_start,
                           const std::uint16_t* bounds, const std::string& what) {
    std::vector<bool> read(l.var_count, false);
    for (const Column& c : table.columns) {
        if (!c.is_fixed() && c.var_index < l.var_count) {
            read[c.var_index] = true;
        }
    }
    std::size_t floor = data_start;
    for (std::size_t k = 0; k < l.var_count; ++k) {
        if (!read[k]) {
            continue;
        }
        const std::size_t start = bounds[k];
        const std::size_t end = bounds[k + 1];
        if (start < floor || start > end || end > l.var_table_offset) {
            var_column_outside(l, k, start, end, data_start, what);
        }
        floor = end;
    }
}

// var_count + 1 offsets, offset(k) the start of variable column k and
// offset(var_count) the end of the data, checked to be monotone inside the
// row (but for slots no column reads, see check_read_var_ranges).
template <typename Offset>
void read_var_ranges(RowLayout& l, const TableDef& table, std::size_t data_start, Offset offset,
                     const std::string& what) {
    std::uint16_t* bounds = l.bounds_small.data();
    if (l.var_count >= l.bounds_small.size()) {
        l.bounds_large.resize(static_cast<std::size_t>(l.var_count) + 1);
        bounds = l.bounds_large.data();
    }
    std::size_t start = offset(0);
    bounds[0] = static_cast<std::uint16_t>(start);
    bool in_order = true;
    for (std::size_t k = 0; k < l.var_count; ++k) {
        const std::size_t end = offset(k + 1);
        if (start > end || end > l.var_table_offset || start < data_start) {
            in_order = false;
        }
        bounds[k + 1] = static_cast<std::uint16_t>(end);
        start = end;
    }
    if (!in_order) {
        check_read_var_ranges(l, table, data_start, bounds, what);
    }
}

// Jet 4: u16 column count; below the mask a u16 variable count and u16 offsets.
RowLayout parse_jet4_layout(const TableDef& table, Bytes row, const std::string& what) {
    RowLayout l;
    if (row.size() < 2) {
        damaged(what, "is only " + std::to_string(row.size()) + " bytes long");
    }
    l.column_count = le16(row, 0);
    read_null_mask(l, row, 2, what);
    if (table.var_column_count == 0 || l.column_count <= table.first_var_column) {
        return l;  // no variable column in the row: its fixed data runs up to the mask
    }
    l.var_table = true;
    if (l.null_mask_offset < 4) {
        damaged(what, "is too short (" + std::to_string(row.size()) +
                          " bytes) for its variable-column table");
    }
    l.var_count = le16(row, l.null_mask_offset - 2);
    // var_count + 1 offsets (the last is the end of the data) below the count.
    const std::size_t table_bytes = 2 * (static_cast<std::size_t>(l.var_count) + 1);
    if (l.null_mask_offset - 2 < table_bytes + 2) {
        damaged(what, "claims " + std::to_string(l.var_count) +
                          " variable columns, more than its " + std::to_string(row.size()) +
                          " bytes can hold");
    }
    l.var_table_offset = l.null_mask_offset - 2 - table_bytes;
    // Offset k sits 2k bytes below the first one, which is just below the count.
    read_var_ranges(
        l, table, 2,
        [&](std::size_t k) -> std::size_t { return le16(row, l.null_mask_offset - 4 - 2 * k); },
        what);
    return l;
}

// Jet 3: u8 column count; below the mask a u8 variable count, a jump table of
// (length - 1) / 256 bytes and u8 offsets. An offset byte holds the low 8
// bits; jump entry i names the first variable entry whose offset is at or
// past 256 * (i + 1), so the high part of entry k is 256 times the number of
// jump entries <= k (a row of 256 bytes or more whose offsets all stay below
// 256 carries a dummy entry that names no entry).
RowLayout parse_jet3_layout(const TableDef& table, Bytes row, const std::string& what) {
    RowLayout l;
    if (row.empty()) {
        damaged(what, "is empty");
    }
    l.column_count = row[0];
    l.fixed_start = 1;
    read_null_mask(l, row, 1, what);
    if (table.var_column_count == 0 || l.column_count <= table.first_var_column) {
        return l;
    }
    l.var_table = true;
    const std::size_t jumps = (row.size() - 1) / 256;
    if (l.null_mask_offset < 1 + 1 + jumps + 1) {
        damaged(what, "is too short (" + std::to_string(row.size()) +
                          " bytes) for its variable-column table");
    }
    const std::size_t count_at = l.null_mask_offset - 1;
    l.var_count = row[count_at];
    const std::size_t table_bytes = static_cast<std::size_t>(l.var_count) + 1;
    if (count_at < jumps + table_bytes + 1) {
        damaged(what, "claims " + std::to_string(l.var_count) +
                          " variable columns, more than its " + std::to_string(row.size()) +
                          " bytes can hold");
    }
    const std::size_t first_offset = count_at - 1 - jumps;
    l.var_table_offset = first_offset + 1 - table_bytes;
    auto high_part = [&](std::size_t k) {
        std::size_t used = 0;
        for (std::size_t i = 0; i < jumps; ++i) {
            if (row[count_at - 1 - i] <= k) {
                ++used;
            }
        }
        return 256 * used;
    };
    read_var_ranges(
        l, table, 1,
        [&](std::size_t k) -> std::size_t { return row[first_offset - k] + high_part(k); }, what);
    return l;
}

}  // namespace

RowLayout parse_row_layout(const TableDef& table, Bytes row, const std::string& what) {
    return table.format->row_count_size == 1 ? parse_jet3_layout(table, row, what)
                                             : parse_jet4_layout(table, row, what);
}

std::uint16_t columns_to_hold_all(const TableDef& table) {
    std::uint16_t n = 0;
    for (const Column& c : table.columns) {
        n = std::max<std::uint16_t>(n, static_cast<std::uint16_t>(c.number + 1u));
    }
    return n;
}

std::uint16_t stored_column_count(const TableDef& table, Bytes row) {
    if (table.format->row_count_size == 1) {
        return row.empty() ? 0 : row[0];
    }
    return row.size() < 2 ? 0 : le16(row, 0);
}

namespace {

// The variable-column table below the null mask, from the end of the data
// up: Jet 4 u16 offsets (the last the end of the data, the first just below
// the count), then the u16 count.
void append_jet4_var_table(std::vector<std::uint8_t>& out, const std::vector<std::size_t>& bounds) {
    for (std::size_t k = bounds.size(); k-- > 0;) {
        out.push_back(static_cast<std::uint8_t>(bounds[k]));
        out.push_back(static_cast<std::uint8_t>(bounds[k] >> 8));
    }
    const std::size_t count = bounds.size() - 1;
    out.push_back(static_cast<std::uint8_t>(count));
    out.push_back(static_cast<std::uint8_t>(count >> 8));
}

// Jet 3: u8 offsets (their low bytes), the jump table and the u8 count.
// The jump table has (row length - 1) / 256 entries, entry i the first
// offset at or past 256 * (i + 1), 0xFF where there is none; its own size
// moves the row length, so it is sized until it stays put.
void append_jet3_var_table(std::vector<std::uint8_t>& out, const std::vector<std::size_t>& bounds,
                           std::size_t mask_size) {
    const std::size_t count = bounds.size() - 1;
    const std::size_t before = out.size() + bounds.size() + 1 + mask_size;
    std::size_t jumps = 0;
    while ((before + jumps - 1) / 256 != jumps) {
        jumps = (before + jumps - 1) / 256;
    }
    for (std::size_t k = bounds.size(); k-- > 0;) {
        out.push_back(static_cast<std::uint8_t>(bounds[k]));
    }
    for (std::size_t i = jumps; i-- > 0;) {
        std::uint8_t first = 0xFF;
        for (std::size_t k = 0; k <= count; ++k) {
            if (bounds[k] >= 256 * (i + 1)) {
                first = static_cast<std::uint8_t>(k);
                break;
            }
        }
        out.push_back(first);
    }
    out.push_back(static_cast<std::uint8_t>(count));
}

}  // namespace

std::optional<std::vector<std::uint8_t>> widen_row(const TableDef& table, Bytes row,
                                                   const std::string& what) {
    const RowLayout l = parse_row_layout(table, row, what);
    const bool jet3 = table.format->row_count_size == 1;
    const std::size_t columns =
        std::max<std::size_t>(table.max_columns, columns_to_hold_all(table));
    std::size_t slots = table.var_column_count;
    std::size_t fixed_end = 0;  // of the definition's fixed columns, from fixed_start
    for (const Column& c : table.columns) {
        if (!c.is_fixed()) {
            slots = std::max<std::size_t>(slots, c.var_index + 1u);
        } else if (c.type != static_cast<std::uint8_t>(ColumnType::boolean)) {
            const std::size_t width = value_width(c.type);
            fixed_end =
                std::max<std::size_t>(fixed_end, c.fixed_offset + (width ? width : c.length));
        }
    }
    // A widened row has a variable-column table exactly when the reader
    // looks for one.
    const bool var_table = table.var_column_count != 0 && columns > table.first_var_column;
    if (columns <= l.column_count || columns > (jet3 ? 0xFFu : 0xFFFFu) ||
        slots > (jet3 ? 0xFEu : 0xFFFFu) || (!var_table && slots != 0)) {
        return std::nullopt;
    }
    // The row's own fixed data, and its variable data after it.
    std::size_t data_start = l.var_table_offset;
    std::size_t data_end = l.var_table_offset;
    std::vector<std::size_t> bounds;
    if (l.var_table) {
        for (std::size_t k = 0; k <= l.var_count; ++k) {
            if (k != 0 && l.bound(k) < l.bound(k - 1)) {
                return std::nullopt;  // a deleted column's slot out of order
            }
            bounds.push_back(l.bound(k));
        }
        data_start = bounds.front();
        data_end = bounds.back();
        if (data_start < l.fixed_start || data_end > row.size()) {
            return std::nullopt;  // variable data said to lie outside the row's data
        }
    }
    const std::size_t fixed_now = data_start - l.fixed_start;
    const std::size_t grow = fixed_end > fixed_now ? fixed_end - fixed_now : 0;
    for (const Column& c : table.columns) {
        // Room is made after the row's fixed data: none of it may lie there.
        const std::size_t width = value_width(c.type) ? value_width(c.type) : c.length;
        if (grow != 0 && c.is_fixed() && c.number < l.column_count &&
            c.type != static_cast<std::uint8_t>(ColumnType::boolean) &&
            c.fixed_offset + width > fixed_now) {
            return std::nullopt;
        }
    }
    std::vector<std::uint8_t> out;
    out.reserve(row.size() + grow + 4 * slots + columns / 8 + 8);
    if (jet3) {
        out.push_back(static_cast<std::uint8_t>(columns));
    } else {
        out.push_back(static_cast<std::uint8_t>(columns));
        out.push_back(static_cast<std::uint8_t>(columns >> 8));
    }
    out.insert(out.end(), row.begin() + static_cast<std::ptrdiff_t>(l.fixed_start),
               row.begin() + static_cast<std::ptrdiff_t>(data_start));
    out.insert(out.end(), grow, 0);
    out.insert(out.end(), row.begin() + static_cast<std::ptrdiff_t>(data_start),
               row.begin() + static_cast<std::ptrdiff_t>(data_end));
    const std::size_t mask_size = (columns + 7) / 8;
    if (var_table) {
        if (bounds.empty()) {
            bounds.push_back(data_start);
        }
        for (auto& b : bounds) {
            b += grow;
        }
        bounds.resize(std::max(slots, bounds.size() - 1) + 1, bounds.back());
        if (jet3) {
            append_jet3_var_table(out, bounds, mask_size);
        } else {
            append_jet4_var_table(out, bounds);
        }
    }
    // The null mask: the row's own bits, none for the columns it lacked.
    for (std::size_t i = 0; i < mask_size; ++i) {
        std::uint8_t byte = 0;
        for (std::size_t bit = 0; bit < 8; ++bit) {
            const std::size_t n = 8 * i + bit;
            if (n < l.column_count && l.not_null(static_cast<std::uint16_t>(n))) {
                byte = static_cast<std::uint8_t>(byte | (1u << bit));
            }
        }
        out.push_back(byte);
    }
    if (out.size() > table.format->max_row_on_page()) {
        return std::nullopt;
    }
    return out;
}

std::optional<ColumnSpan> locate_column(const Column& column, const RowLayout& layout, Bytes row,
                                        const std::string& what) {
    if (column.type == static_cast<std::uint8_t>(ColumnType::boolean)) {
        return std::nullopt;
    }
    if (!layout.not_null(column.number)) {
        return std::nullopt;
    }
    if (column.is_fixed()) {
        const std::size_t start =
            layout.fixed_start + static_cast<std::size_t>(column.fixed_offset);
        std::size_t length = column.length;
        if (const std::size_t width = value_width(column.type); width != 0) {
            length = width;
        }
        if (start + length > layout.var_table_offset || start + length > row.size()) {
            damaged(what, "has column \"" + column.name + "\" at bytes " + std::to_string(start) +
                              ".." + std::to_string(start + length) + ", outside the row (" +
                              std::to_string(row.size()) + " bytes)");
        }
        return ColumnSpan{start, length};
    }
    if (column.var_index >= layout.var_count) {
        return std::nullopt;
    }
    const auto [s, e] = layout.var_range(column.var_index);
    return ColumnSpan{s, e - s};
}

Value decode_column(const PageFile& file, const Column& column, const RowLayout& layout, Bytes row,
                    const std::string& what) {
    if (column.type == static_cast<std::uint8_t>(ColumnType::boolean)) {
        return layout.not_null(column.number);
    }
    const std::optional<ColumnSpan> span = locate_column(column, layout, row, what);
    if (!span) {
        return std::monostate{};
    }
    const Bytes d = row.subspan(span->offset, span->length);
    if (column.calculated_long_value) {
        // A memo result: the wrapper (a length and the text) is the long value.
        const std::string where = what + ", column \"" + column.name + "\"";
        return Binary{read_long_value(file, LongValueDescriptor::parse(d, where), where)};
    }
    if (column.is_calculated()) {
        // The stored wrapper (a length and the result), as it is.
        return Binary{std::vector<std::uint8_t>(d.begin(), d.end())};
    }
    const std::size_t width = value_width(column.type);
    if (width != 0 && d.size() < width) {
        damaged(what, "has " + std::to_string(d.size()) + " bytes for column \"" + column.name +
                          "\" of type " + column_type_name(column.type) + ", which needs " +
                          std::to_string(width));
    }
    switch (static_cast<ColumnType>(column.type)) {
        case ColumnType::byte:
            return static_cast<std::int64_t>(d[0]);
        case ColumnType::integer:
            return static_cast<std::int64_t>(read_le<std::int16_t>(d, 0));
        case ColumnType::long_integer:
        case ColumnType::complex:
            return static_cast<std::int64_t>(read_le<std::int32_t>(d, 0));
        case ColumnType::big_int:
            return read_le<std::int64_t>(d, 0);
        case ColumnType::ext_datetime:
            // Days, seconds and fractions in ASCII, NUL-terminated.
            {
                std::size_t n = 0;
                while (n < 42 && d[n] != 0) {
                    ++n;
                }
                return std::string(reinterpret_cast<const char*>(d.data()), n);
            }
        case ColumnType::money:
            return Money{read_le<std::int64_t>(d, 0)};
        case ColumnType::single:
            return read_le<float>(d, 0);
        case ColumnType::double_:
            return read_le<double>(d, 0);
        case ColumnType::datetime:
            return DateTime{read_le<double>(d, 0)};
        case ColumnType::text:
            return file.text().text(d);
        case ColumnType::memo:
        case ColumnType::ole: {
            const std::string where = what + ", column \"" + column.name + "\"";
            const LongValueDescriptor desc = LongValueDescriptor::parse(d, where);
            std::vector<std::uint8_t> bytes = read_long_value(file, desc, where);
            if (column.type == static_cast<std::uint8_t>(ColumnType::memo)) {
                return file.text().text(Bytes(bytes.data(), bytes.size()));
            }
            return Binary{std::move(bytes)};
        }
        case ColumnType::guid: {
            Guid g;
            std::memcpy(g.bytes.data(), d.data(), 16);
            return g;
        }
        case ColumnType::numeric: {
            Decimal n;
            n.negative = (d[0] & 0x80) != 0;
            n.precision = column.precision();
            n.scale = column.scale();
            for (std::size_t w = 0; w < 4; ++w) {
                n.magnitude[w] = le32(d, 1 + 4 * w);
            }
            return n;
        }
        case ColumnType::boolean:
        case ColumnType::binary:
        case ColumnType::fixed_binary:
            break;
    }
    return Binary{std::vector<std::uint8_t>(d.begin(), d.end())};
}

std::vector<Value> decode_row(const PageFile& file, const TableDef& table, Bytes row,
                              const std::string& what) {
    const RowLayout layout = parse_row_layout(table, row, what);
    std::vector<Value> values;
    values.reserve(table.columns.size());
    for (const Column& c : table.columns) {
        values.push_back(decode_column(file, c, layout, row, what));
    }
    return values;
}

}  // namespace jet
