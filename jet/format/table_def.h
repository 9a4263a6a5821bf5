#pragma once
// Table definitions (TDEF, page type 0x02), continued over several pages.
//
// The logical definition is the first page whole followed by bytes 8.. of
// each continuation page (u32 at 4 of each page names the next, 0 = last).
// Where each field lies is the format's (Format::tdef, column, real_index,
// logical_index); names are u16 + UCS-2 in Jet 4, u8 + code-page bytes in Jet 3.
// TableDef keeps the physical pages and the logical buffer, and records the
// logical offset of every field a writer may patch (map pointers, root pages,
// foreign-key table pages); logical_to_physical() turns such an offset into a
// page and an offset in it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/format.h"
#include "jet/format/page_file.h"

namespace jet {

enum class ColumnType : std::uint8_t {
    boolean = 0x01,
    byte = 0x02,
    integer = 0x03,       // 16-bit
    long_integer = 0x04,  // 32-bit
    money = 0x05,         // 64-bit, 1/10000 units
    single = 0x06,
    double_ = 0x07,
    datetime = 0x08,
    binary = 0x09,
    text = 0x0A,
    ole = 0x0B,
    memo = 0x0C,
    guid = 0x0F,
    numeric = 0x10,
    fixed_binary = 0x11,  // fixed 3992-byte binary (MSysAccessObjects.Data)
    // ACE (.accdb) only:
    complex = 0x12,       // attachment / multi-valued: a Long tying rows of a hidden table
    big_int = 0x13,       // Large Number, 64-bit (Access 2016 and later)
    ext_datetime = 0x14,  // Date/Time Extended: 42 ASCII bytes (Access 2019 and later)
};

// Extended flags of a column (block +16).
inline constexpr std::uint8_t kColumnExtCalculated = 0xC0;  // ACE: a calculated column

// Offsets in the logical table definition common to every format; the
// others are the format's (Format::tdef).
namespace tdef_offsets {
inline constexpr std::size_t kNextPage = 4;  // on every physical page
inline constexpr std::size_t kLength = 8;
}  // namespace tdef_offsets

inline constexpr std::uint32_t kTableDefMagic = 1625;
// Bytes 2-3 of every Jet 3 table definition page: "VC" read as u16 LE.
inline constexpr std::uint16_t kTableDefJet3Mark = 0x4356;
inline constexpr std::uint8_t kTableTypeSystem = 0x53;
inline constexpr std::uint8_t kTableTypeUser = 0x4E;

inline constexpr std::uint8_t kColumnFlagFixed = 0x01;
inline constexpr std::uint8_t kColumnFlagNullable = 0x02;
inline constexpr std::uint8_t kColumnFlagAutoLong = 0x04;
inline constexpr std::uint8_t kColumnFlagAutoGuid = 0x40;
inline constexpr std::uint8_t kColumnFlagHyperlink = 0x80;

inline constexpr std::uint8_t kIndexFlagUnique = 0x01;
inline constexpr std::uint8_t kIndexFlagIgnoreNulls = 0x02;
inline constexpr std::uint8_t kIndexFlagRequired = 0x08;

struct Column {
    std::uint8_t type = 0;  // a ColumnType value (kept raw: unknown types stay visible)
    std::uint16_t number = 0;
    std::uint16_t var_index = 0;
    std::uint16_t unknown_index = 0;  // Jet 4 +9, Jet 3 +5
    std::uint16_t misc = 0;           // Jet 4 +11, Jet 3 +9: text LCID; numeric precision, scale
    std::uint16_t misc_ext = 0;       // Jet 4 +13; Jet 3 +11: the column's code page
    std::uint8_t flags = 0;
    std::uint8_t ext_flags = 0;
    std::uint16_t fixed_offset = 0;
    std::uint16_t length = 0;
    std::string name;              // UTF-8
    std::size_t block_offset = 0;  // logical offset of its block (Format::column)
    // A calculated column whose result is a memo: its type byte says Text
    // (or anything else), but the row holds a long-value descriptor and the
    // definition's trailer lists its maps. Set when the definition is read.
    bool calculated_long_value = false;

    ColumnType column_type() const { return static_cast<ColumnType>(type); }
    bool is_fixed() const { return (flags & kColumnFlagFixed) != 0; }
    // Stored as a long value (memo, OLE, or a calculated memo result).
    bool is_long_value() const {
        return type == static_cast<std::uint8_t>(ColumnType::memo) ||
               type == static_cast<std::uint8_t>(ColumnType::ole) || calculated_long_value;
    }
    // A calculated column (ACE): its value is stored wrapped, whatever its
    // type byte says.
    bool is_calculated() const {
        return (ext_flags & kColumnExtCalculated) == kColumnExtCalculated;
    }
    std::uint8_t precision() const { return static_cast<std::uint8_t>(misc & 0xFF); }
    std::uint8_t scale() const { return static_cast<std::uint8_t>(misc >> 8); }
};

struct IndexColumn {
    std::uint16_t number = 0;  // column number
    std::uint8_t order = 1;    // 1 ascending, otherwise descending
    bool ascending() const { return order == 1; }
};

struct IndexStats {
    std::uint32_t a = 0;
    std::uint32_t b = 0;  // distinct entries
    std::uint32_t c = 0;
    std::size_t offset = 0;  // logical offset of the block (12 bytes; Jet 3: 8, no c)
};

struct RealIndex {
    std::uint32_t ordinal = 0;  // position among the real indexes
    std::vector<IndexColumn> columns;
    RowPointer map;  // the index's usage map (its B-tree pages)
    std::uint32_t root_page = 0;
    std::uint32_t unknown_42 = 0;  // Jet 4 only
    std::uint8_t flags = 0;
    IndexStats stats;
    std::size_t block_offset = 0;  // logical offset of its block (Format::real_index)
    std::size_t map_field = 0;     // logical offsets of the map pointer and the root page
    std::size_t root_field = 0;
    std::size_t map_offset() const { return map_field; }
    std::size_t root_offset() const { return root_field; }
    bool unique() const { return (flags & kIndexFlagUnique) != 0; }
    bool ignore_nulls() const { return (flags & kIndexFlagIgnoreNulls) != 0; }
};

struct LogicalIndex {
    std::uint32_t number = 0;
    std::uint32_t real_index = 0;
    std::uint8_t rel_table_type = 0;  // 1 primary side, 2 foreign side, 0 none
    std::int32_t rel_index = -1;      // logical index number in the other table
    std::uint32_t rel_table_page = 0;
    std::uint8_t cascade_updates = 0;
    std::uint8_t cascade_deletes = 0;
    std::uint8_t type = 0;  // 1 primary key, 2 foreign key
    std::string name;
    std::size_t block_offset = 0;          // logical offset of its block (Format::logical_index)
    std::size_t rel_table_page_field = 0;  // logical offset of rel_table_page
    std::size_t rel_table_page_offset() const { return rel_table_page_field; }
    bool is_primary_key() const { return type == 1; }
    bool is_foreign_key() const { return rel_index != -1; }
};

// One entry of the trailer: the two usage maps of a memo/OLE column.
struct LongValueMaps {
    std::uint16_t column = 0;
    RowPointer owned;
    RowPointer free;
    std::size_t offset = 0;  // logical offset of the 10-byte entry
    std::size_t owned_offset() const { return offset + 2; }
    std::size_t free_offset() const { return offset + 6; }
};

struct TableDef {
    const Format* format = nullptr;     // of the file it was read from
    std::uint32_t page = 0;             // first TDEF page (the table's Id)
    std::vector<std::uint32_t> pages;   // every physical page, in chain order
    std::vector<std::uint8_t> buffer;   // the logical definition
    std::uint32_t declared_length = 0;  // tdef_len (u32 at 8)
    std::uint32_t magic = 0;            // Jet 4 only
    std::uint32_t row_count = 0;
    std::uint32_t autonumber = 0;
    std::uint8_t table_type = 0;
    std::uint16_t max_columns = 0;
    std::uint16_t var_column_count = 0;
    // The lowest number of a variable-length column. A row stored before
    // the table had any of its variable columns holds fewer columns than
    // that, and no variable-column table at all. (0: every row of a table
    // with variable columns holds one.)
    std::uint16_t first_var_column = 0;
    std::uint16_t column_count = 0;
    std::uint32_t logical_index_count = 0;
    std::uint32_t real_index_count = 0;
    RowPointer owned_map;
    RowPointer free_map;
    std::vector<Column> columns;  // in definition order
    std::vector<RealIndex> real_indexes;
    std::vector<LogicalIndex> logical_indexes;
    std::vector<LongValueMaps> long_value_maps;
    std::size_t end_offset = 0;  // logical offset just past the 0xFFFF terminator

    // Whether the stated length runs past the end over zeros alone, as a
    // writer left the definitions of tables it made without columns; other
    // readers read such a definition to its end, and a copy states its true
    // length.
    bool zero_padded() const;
    // The length of the definition: the stated one, or its end when the rest
    // is that padding.
    std::size_t length() const { return zero_padded() ? end_offset : declared_length; }

    const Column* find_column(std::string_view name) const;  // case-insensitive
    const Column* column_by_number(std::uint16_t number) const;
    const LongValueMaps* long_value_maps_for(std::uint16_t column_number) const;
    // The physical page and in-page offset of a logical offset.
    std::pair<std::uint32_t, std::size_t> logical_to_physical(std::size_t logical_offset) const;
    std::string name_hint;  // the table's name when known (for descriptions)
    // Pages of rows its owned-pages map leaves out, read as its all the
    // same (OpenOptions::unlisted_pages), ascending.
    std::vector<std::uint32_t> unlisted_pages;
};

// Reads the table definition whose first page is `page`. Throws
// Error(damaged) naming the page when a page of the chain is not a TDEF,
// the chain loops or runs past the file, or a block runs past the buffer.
TableDef read_table_def(const PageFile& file, std::uint32_t page);

const char* column_type_name(std::uint8_t type);

}  // namespace jet
