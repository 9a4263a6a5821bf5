#pragma once
// The on-disk formats this engine reads and writes, each described once.
//
// A Format is chosen when page 0 is read (by its version byte) and travels
// with the pages: PageFile carries it, and every reader and builder takes its
// page size, its structure layouts and its limits from there instead of
// constants of its own. Jet 3 (Access 97) has 2 KB pages and narrower
// structures; Jet 4 (Access 2000-2003) and ACE (Access 2007 and later) share
// one page layout, ACE adding column types and flags that Header::is_ace()
// tells apart. Offsets inside a table definition are logical offsets into
// the concatenated definition; kAbsent marks a field a format does not have.
// The Jet 3 facts and their sources are in docs/jet3-format.md.

#include <cstddef>
#include <cstdint>

namespace jet {

inline constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);
// The longest page of any format: what to read of a file before its format is known.
inline constexpr std::size_t kLargestPageSize = 4096;

enum class FormatFamily : std::uint8_t {
    jet3,  // Access 95/97: text in the header's code page, 1-byte row counts
    jet4,  // Access 2000 and later (ACE included): text in UCS-2
};

struct HeaderLayout {
    std::size_t mask_length;      // bytes masked from 0x18 on
    std::size_t password_length;  // stored bytes at 0x42
    std::size_t sort_order;       // u16 LCID
    std::size_t sort_version;     // u8, or kAbsent
    std::size_t creation_date;    // double, or kAbsent (then no password mask)
    std::size_t unknown_u16;      // a u16 of unknown meaning, kept as read
};

struct DataPageLayout {
    std::size_t header_size;  // bytes before the slot table
    std::size_t row_count;    // u16
    std::size_t stamp;        // u32 of long-value pages, or kAbsent
};

struct TableDefLayout {
    std::size_t magic;  // u32 kTableDefMagic, or kAbsent
    std::size_t row_count;
    std::size_t autonumber;
    std::size_t table_type;
    std::size_t max_columns;
    std::size_t var_columns;
    std::size_t column_count;
    std::size_t logical_index_count;
    std::size_t real_index_count;
    std::size_t owned_map;
    std::size_t free_map;
    std::size_t index_stats;       // first per-real-index count block
    std::size_t index_stats_size;  // 12 (three u32) or 8 (two)
    std::size_t continuation_header;
    bool free_space_at_2;          // bytes 2-3 of each TDEF page: free space (else "VC")
    std::size_t name_length_size;  // 2: u16 + UCS-2 bytes; 1: u8 + code-page bytes
};

struct ColumnLayout {
    std::size_t block_size;
    std::size_t number;
    std::size_t var_index;
    std::size_t unknown_index;
    std::size_t misc;      // text: sort LCID; numeric: precision, scale
    std::size_t misc_ext;  // Jet 3: the column's code page
    std::size_t flags;
    std::size_t ext_flags;  // or kAbsent
    std::size_t fixed_offset;
    std::size_t length;
};

struct RealIndexLayout {
    std::size_t block_size;
    std::size_t columns;  // 10 x (u16 column number, u8 order)
    std::size_t map;
    std::size_t root;
    std::size_t unknown;  // u32, or kAbsent
    std::size_t flags;
};

struct LogicalIndexLayout {
    std::size_t block_size;
    std::size_t number;
    std::size_t real_index;
    std::size_t rel_table_type;
    std::size_t rel_index;
    std::size_t rel_table_page;
    std::size_t cascade_updates;
    std::size_t cascade_deletes;
    std::size_t type;
};

struct IndexPageLayout {
    std::size_t reserved;  // u32 that is always 0, or kAbsent
    std::size_t prev;
    std::size_t next;
    std::size_t tail;
    std::size_t prefix;       // shared-prefix length
    std::size_t prefix_size;  // 2 (u16) or 1 (u8)
    std::size_t level;
    std::size_t mask_offset;
    std::size_t mask_size;
    std::size_t entries_offset;
};

struct Format {
    FormatFamily family;
    const char* name;
    std::size_t page_size;
    std::uint32_t max_pages;
    HeaderLayout header;
    DataPageLayout data_page;
    TableDefLayout tdef;
    ColumnLayout column;
    RealIndexLayout real_index;
    LogicalIndexLayout logical_index;
    IndexPageLayout index_page;
    std::size_t map_row_length;  // usage-map rows as Access writes them
    std::size_t row_count_size;  // bytes of a row's column count (2, or 1 with a jump table)
    std::size_t chain_chunk;     // data bytes of a full long-value chain chunk

    bool is_jet3() const { return family == FormatFamily::jet3; }
    // Text and names in the header's code page rather than UCS-2.
    bool text_in_code_page() const { return family == FormatFamily::jet3; }
    std::size_t index_entry_area() const { return page_size - index_page.entries_offset; }
    // Pages one 0x05 bitmap page describes.
    std::uint32_t pages_per_bitmap_page() const {
        return static_cast<std::uint32_t>((page_size - 4) * 8);
    }
    std::size_t inline_map_capacity() const { return (map_row_length - 5) * 8; }
    std::size_t reference_map_entries() const { return (map_row_length - 1) / 4; }
    // Longest row a data page takes: the page less its header and one slot.
    std::size_t max_row_on_page() const { return page_size - data_page.header_size - 2; }
};

// Access 95/97.
const Format& jet3_format();
// Access 2000-2003, and the pages of every ACE version.
const Format& jet4_format();
// The format of a file whose version byte (page 0, 0x14) is `version`; only
// versions the header check accepted come here.
const Format& format_for_version(std::uint8_t version);

}  // namespace jet
