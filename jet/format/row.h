#pragma once
// Rows of a table: the row layouts and the column values in them.
//
// Jet 4 layout: u16 column count, fixed columns at fixed_offset + 2, variable data,
// then from the end of the row: null mask ((count+7)/8 bytes, bit = column
// number, 1 = not null; booleans live only here), u16 variable column count,
// the variable offsets (entry k at end - mask - 4 - 2k) and the end-of-data
// offset. A column whose number is >= the row's column count, or a variable
// column whose index is >= the row's variable count, is null.
// Jet 3 (Format::row_count_size 1): u8 column count, fixed columns at
// fixed_offset + 1, and below the mask a u8 variable count, a jump table and
// u8 offsets (parse_row_layout; docs/jet3-format.md 4.3).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/page_file.h"
#include "jet/format/table_def.h"

namespace jet {

struct Money {
    std::int64_t units = 0;  // 1/10000
    bool operator==(const Money&) const = default;
};
struct DateTime {
    double days = 0.0;  // OLE automation date: days since 1899-12-30, fraction = time
    bool operator==(const DateTime&) const = default;
};
struct Guid {
    std::array<std::uint8_t, 16> bytes{};  // as stored
    bool operator==(const Guid&) const = default;
};
struct Decimal {
    bool negative = false;
    std::uint8_t precision = 0;
    std::uint8_t scale = 0;
    std::array<std::uint32_t, 4> magnitude{};  // 128-bit, most significant word first
    bool operator==(const Decimal&) const = default;
};
struct Binary {
    std::vector<std::uint8_t> bytes;
    bool operator==(const Binary&) const = default;
};

// null, bool, byte/integer/long (int64), money, single (float), double, date,
// text/memo (UTF-8), binary/OLE/type 0x11, GUID, numeric.
using Value = std::variant<std::monostate, bool, std::int64_t, Money, float, double, DateTime,
                           std::string, Binary, Guid, Decimal>;

inline bool is_null(const Value& v) {
    return std::holds_alternative<std::monostate>(v);
}

// Where things sit in a row's bytes.
struct RowLayout {
    std::uint16_t column_count = 0;    // columns stored in this row
    std::size_t fixed_start = 2;       // where fixed column offsets count from
    std::size_t null_mask_offset = 0;  // first byte of the null mask
    std::size_t null_mask_size = 0;
    std::uint16_t var_count = 0;
    std::size_t var_table_offset = 0;  // lowest byte of the var offset table (= end of data)

    // Variable column k < var_count spans [start, end) of the row.
    std::pair<std::size_t, std::size_t> var_range(std::size_t k) const {
        return {bound(k), bound(k + 1)};
    }
    // Bound k <= var_count: the start of variable column k, or for k ==
    // var_count the end of the data. Only for a row with a variable-column
    // table (var_table).
    std::size_t bound(std::size_t k) const {
        return var_count < bounds_small.size() ? bounds_small[k] : bounds_large[k];
    }
    // The row has a variable-column table (a row stored before the table had
    // variable columns has none).
    bool var_table = false;
    // The var_count + 1 bounds of the variable columns, each column's start
    // and then the end of the last (offsets into a row, which lies in one
    // page: 16 bits hold them): held inline for up to 64 variable columns, so
    // that a row's layout costs no allocation (the walks parse every row,
    // some of them several times).
    // (Not cleared when a layout is made: every bound read was written.)
    std::array<std::uint16_t, 65> bounds_small;
    std::vector<std::uint16_t> bounds_large;

    bool not_null(std::uint16_t column_number) const;  // null-mask bit
    std::uint8_t row_mask_byte(std::uint16_t column_number) const {
        const std::size_t i = column_number / 8;
        return null_mask_size <= mask_small.size() ? mask_small[i] : mask_large[i];
    }

    // The null mask bytes: held inline for up to 256 columns (every table
    // Jet makes), so that a row's layout costs no allocation for it.
    std::array<std::uint8_t, 32> mask_small{};
    std::vector<std::uint8_t> mask_large;
};

// The byte width of a fixed-size value of a column type (0: as long as the
// column says).
std::size_t value_width(std::uint8_t type);

// Parses the layout of `row` for `table`. Throws Error(damaged) with `what`
// when the row is too short, the var table runs out of the row or its
// offsets are not monotone inside the row.
RowLayout parse_row_layout(const TableDef& table, Bytes row, const std::string& what);

// Where one column's value sits: nullopt when the value is null (or a boolean,
// which has no bytes). For memo/OLE this is the descriptor and its inline data.
struct ColumnSpan {
    std::size_t offset = 0;
    std::size_t length = 0;
};
std::optional<ColumnSpan> locate_column(const Column& column, const RowLayout& layout, Bytes row,
                                        const std::string& what);

// One past the highest column number of `table`: a row holding fewer
// columns was stored before the columns past its count were added (Jet does
// not rewrite rows when a column is added), and those columns are null in
// it.
std::uint16_t columns_to_hold_all(const TableDef& table);

// The column count stored at the start of `row` (0 when it is too short to
// hold one).
std::uint16_t stored_column_count(const TableDef& table, Bytes row);

// A row that lacks columns (see columns_to_hold_all), written out as Jet writes a
// row of `table` today: the table's full column count (max_columns), a slot
// for every variable column and the bytes of every fixed column, the
// columns it lacked null (their fixed bytes zero, their slots empty). Every
// value it held keeps its bytes. Other readers size the null mask from the
// table rather than the row and read past the end of such a row; the wide
// form reads alike everywhere. Nothing when the row cannot be widened
// as it is (variable slots out of order, or the wide row would not fit in a
// page); Error(damaged) as parse_row_layout throws it.
std::optional<std::vector<std::uint8_t>> widen_row(const TableDef& table, Bytes row,
                                                   const std::string& what);

// Decodes one column of a row. Long values are read through `file`.
Value decode_column(const PageFile& file, const Column& column, const RowLayout& layout, Bytes row,
                    const std::string& what);

// Decodes every column of `table` (in TableDef::columns order).
std::vector<Value> decode_row(const PageFile& file, const TableDef& table, Bytes row,
                              const std::string& what);

}  // namespace jet
