#pragma once
// Writing usage maps, the rows that list the pages of a table, an index or a
// long-value column, and the global map of free pages on page 1.
//
// A map row is always written Format::map_row_length bytes long (the length
// Access uses: 69 in Jet 4, 133 in Jet 3); in Jet 4 numbers:
//   inline    (type 0): 00, u32 start page (a multiple of 8), 64 bytes of
//                       bitmap (bit i = page start + i), room for 512 pages;
//   reference (type 1): 01, 17 u32 entries; entry j names the 0x05 bitmap
//                       page covering pages [j * 32736, (j + 1) * 32736).
// The global map (page 1, row 0) is inline and grows with the file:
// 5 + max(64, roundup4(ceil(pages / 8))) bytes (Jet 3: 128 at least), bit set = page free, every
// page past the end of the file marked free; when that no longer fits on
// page 1 it takes the reference form, with one entry per bitmap page (placed
// at the end of the file) and no more, so that every page past its last
// block counts as free.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "jet/format/format.h"
#include "jet/format/page_file.h"

namespace jet {

// True when `pages` (ascending) fit an inline map row.
bool fits_inline_map(const Format& format, std::span<const std::uint32_t> pages);

// The bitmap blocks (j = page / pages per bitmap page) a reference map of
// `pages` needs, ascending.
std::vector<std::uint32_t> bitmap_blocks_of(const Format& format,
                                            std::span<const std::uint32_t> pages);

// An inline map row for `pages` (ascending; must fit). No pages: start 0, empty.
std::vector<std::uint8_t> build_inline_map_row(const Format& format,
                                               std::span<const std::uint32_t> pages);

// A reference map row; block_pages[j] is the bitmap page of block j or 0.
// The row is Format::map_row_length long, or with `exact` just long enough for the
// entries given (the global map: its range then ends with its last block, and
// every page beyond counts as free).
std::vector<std::uint8_t> build_reference_map_row(const Format& format,
                                                  std::span<const std::uint32_t> block_pages,
                                                  bool exact = false);

// The 0x05 bitmap page of block j: the bits of `pages` that fall into it.
PageBuf build_bitmap_page(const Format& format, std::uint32_t block,
                          std::span<const std::uint32_t> pages);

// Global free map of a file of `page_count` pages.
struct GlobalMapLayout {
    bool reference = false;
    std::uint32_t bitmap_page_count = 0;  // 0x05 pages needed (reference form only)
};
GlobalMapLayout plan_global_map(const Format& format, std::uint32_t page_count_without_bitmaps);

// Page 1: row 0 the global free map, row 1 an empty inline map; u32 at 4 = 1.
// `bitmap_pages` are the numbers of the global map's 0x05 pages (reference form).
PageBuf build_page_one(const Format& format, std::uint32_t page_count,
                       std::span<const std::uint32_t> bitmap_pages);

// The 0x05 page of block j of the global map for a file of `page_count` pages:
// every page of the block at or past the end of the file is marked free.
PageBuf build_global_bitmap_page(const Format& format, std::uint32_t block,
                                 std::uint32_t page_count);

}  // namespace jet
