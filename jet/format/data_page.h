#pragma once
// A data page (type 0x01): table rows, usage-map rows and long-value (LVAL) rows.
//
// Header: 01 01, u16 free space, u32 owner (TDEF page; "LVAL" on long-value
// pages; 0 on map-holder pages), in Jet 4 a u32 (stamp on LVAL pages), u16
// slot count (Format::data_page), then one u16 per slot: low 13 bits = row
// start, 0x8000 deleted, 0x4000 overflow. Rows are packed downwards: row i
// ends where row i-1 starts.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/format.h"
#include "jet/format/page_file.h"

namespace jet {

inline constexpr std::uint8_t kPageTypeData = 0x01;
inline constexpr std::uint8_t kPageTypeTableDef = 0x02;
inline constexpr std::uint8_t kPageTypeIndexNode = 0x03;
inline constexpr std::uint8_t kPageTypeIndexLeaf = 0x04;
inline constexpr std::uint8_t kPageTypeUsageBitmap = 0x05;

inline constexpr std::uint16_t kSlotDeleted = 0x8000;
inline constexpr std::uint16_t kSlotOverflow = 0x4000;
inline constexpr std::uint16_t kSlotOffsetMask = 0x1FFF;
inline constexpr std::uint32_t kLvalMarker = 0x4C41564C;  // "LVAL" read as u32 LE

struct RowSlot {
    std::uint16_t raw = 0;    // the slot entry as stored (offset + flags)
    std::uint16_t start = 0;  // first byte of the row in the page
    std::uint16_t end = 0;    // one past the last byte
    bool deleted() const { return (raw & kSlotDeleted) != 0; }
    bool overflow() const { return (raw & kSlotOverflow) != 0; }
    std::uint16_t length() const { return static_cast<std::uint16_t>(end - start); }
};

// The row of an overflow slot holds only where the row went: the 4 bytes of
// a row pointer (its row number, then its page in 3 bytes). Nothing when the
// row is too short to hold one.
inline std::optional<RowPointer> overflow_target(Bytes header) {
    if (header.size() < 4) {
        return std::nullopt;
    }
    return RowPointer::decode(le32(header, 0));
}

// True for a page of zeros only: what a failed write or a damaged disk
// leaves. Listed among a table's pages, it holds no row.
bool page_is_blank(const PageBuf& page);

class DataPage {
  public:
    // Checks the header and the slot table of `page` (page number `number`);
    // `where` names it in descriptions ("<file>, page <n>"). Throws
    // Error(damaged) when the page is not a data page, the slot table runs
    // past the page, or a slot lies outside the page or out of order.
    DataPage(const Format& format, PageBuf page, std::uint32_t number, std::string where);
    // The same, named by `file` (PageFile::where) only when a description
    // is needed: the walks parse every page, and most pages have nothing to
    // report. `file` must outlive the page.
    DataPage(const PageFile& file, PageBuf page, std::uint32_t number);

    std::uint32_t number() const { return number_; }
    const std::string& where() const;
    Bytes bytes() const { return Bytes(page_.data(), page_.size()); }

    std::uint16_t stored_free_space() const;
    std::uint32_t owner() const;  // u32 at 4
    std::uint32_t stamp() const;  // u32 at 8 (Jet 4; 0 in Jet 3, which has none)
    bool is_long_value_page() const { return owner() == kLvalMarker; }

    std::size_t slot_count() const { return slots_.size(); }
    const std::vector<RowSlot>& slots() const { return slots_; }
    // Throws Error(damaged) for a slot number past the slot table.
    const RowSlot& slot(std::size_t i) const;
    // The bytes of row i (empty for a zero-length slot).
    Bytes row(std::size_t i) const;

    // Free space computed from the layout: lowest row start - (header + 2n).
    std::size_t computed_free_space() const;

  private:
    void parse();

    const Format* format_;
    PageBuf page_;
    std::uint32_t number_;
    const PageFile* file_ = nullptr;  // names the page when where_ is first asked for
    mutable std::string where_;
    std::vector<RowSlot> slots_;
};

// Reads page `n` of `file` and parses it as a data page.
DataPage read_data_page(const PageFile& file, std::uint32_t n);

// The bytes of one row addressed by a row pointer, copied out of its page.
// Throws Error(damaged) naming `what` and the page when the pointer is dangling.
std::vector<std::uint8_t> read_row(const PageFile& file, RowPointer where, const std::string& what);

}  // namespace jet
