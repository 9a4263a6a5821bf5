#pragma once
// Usage maps: a row on a data page, either inline (type 0: u32 start page +
// bitmap) or reference (type 1: u32 numbers of 0x05 bitmap pages, each
// covering (page size - 4) * 8 pages). The global map on page 1 row 0 lists
// FREE pages.

#include <cstdint>
#include <string>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/page_file.h"

namespace jet {

struct UsageMap {
    enum class Kind { absent, inline_map, reference };
    Kind kind = Kind::absent;
    RowPointer location;           // where the map row sits (0/0 = absent)
    std::size_t row_length = 0;    // length of the map row in bytes
    std::uint32_t start_page = 0;  // inline maps: the page of bit 0
    // Reference maps: the stored entries, in order (0 = no page). Entries
    // that are not usable bitmap page numbers (>= 0x80000000) are kept here
    // but contribute no pages.
    std::vector<std::uint32_t> bitmap_pages;
    std::uint32_t pages_per_bitmap_page = 0;  // Format::pages_per_bitmap_page()
    // Every page whose bit is set, ascending.
    std::vector<std::uint32_t> pages;

    bool contains(std::uint32_t page) const;
    // The highest page number the map can describe, plus one.
    std::uint64_t range_end() const;
};

// Reads the usage map at `where` (an absent pointer 0/0 gives Kind::absent).
// `what` describes the map for errors ("owned-pages map of table Orders").
// Bits naming pages past the format's largest file are ignored. Throws Error(damaged) for a
// dangling pointer, an unknown map type or a referenced page that is not a
// 0x05 bitmap page.
UsageMap read_usage_map(const PageFile& file, RowPointer where, const std::string& what);

// The global map of free pages (page 1, row 0).
struct FreeMap {
    UsageMap map;
    // True when the page is free: its bit is set, or it lies beyond the
    // map's range (pages not yet in the file). An inline map's window need
    // not start at page 0: a writer that only ever appends moves the window
    // up with the end of the file and says nothing more of the pages below
    // it, which are in use, so a page below the window is never free.
    bool is_free(std::uint32_t page) const;
};

FreeMap read_free_map(const PageFile& file);

}  // namespace jet
