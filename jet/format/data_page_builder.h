#pragma once
// Writing data pages (type 0x01): table rows, long-value rows and usage-map
// rows, packed from the end of the page downwards with one slot per row and
// no flag bits (no deleted slot, no overflow indirection).
//
// RowPacker plans the pages before any byte is written: it hands out the
// (page, slot) a row of a given length will occupy, filling each page in
// order until the next row no longer fits (header + 2n + sum of lengths <=
// page size, at most 255 rows). build_data_page then lays out the rows of one
// page. The header and page size are the format's (Format::data_page).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "jet/format/format.h"
#include "jet/format/page_file.h"

namespace jet {

inline constexpr std::size_t kMaxRowsPerDataPage = 255;
struct RowPlace {
    std::uint32_t page_index = 0;  // index into the packer's pages
    std::uint8_t slot = 0;
};

class RowPacker {
  public:
    explicit RowPacker(const Format& format) : format_(&format) {}
    const Format& format() const { return *format_; }
    // Returns where a row of `length` bytes goes. Throws Error(damaged) for a
    // row longer than a page can hold.
    RowPlace add(std::size_t length);
    std::size_t page_count() const { return rows_.size(); }
    // Number of rows on page k.
    std::size_t rows_on(std::size_t k) const { return rows_[k]; }

  private:
    const Format* format_;
    std::vector<std::uint16_t> rows_;
    std::vector<std::uint16_t> used_;
};

// One page of rows in slot order. `owner` is the u32 at offset 4 (the TDEF
// page, the "LVAL" marker or 0 for map holders), `stamp` the u32 at 8 (Jet 4
// only: Jet 3 has no such field, and the stamp must be 0).
PageBuf build_data_page(const Format& format, std::span<const std::vector<std::uint8_t>> rows,
                        std::uint32_t owner, std::uint32_t stamp = 0);

}  // namespace jet
