#pragma once
// Index pages: B-tree nodes (type 0x03) and leaves (type 0x04).
//
// Page layout of Jet 4 (all fields little-endian except inside entries);
// Jet 3 has no u32 at 8, so prev, next and tail sit at 8, 12, 16, then a u8
// prefix at 20, the level at 21, the mask at 22 (226 bytes) and entries from
// 248 (Format::index_page):
//
//   off  size  field
//     0     1  0x03 node / 0x04 leaf
//     1     1  0x01
//     2     2  free space = 4096 - (480 + bytes used by entries)
//     4     4  owning table definition page
//     8     4  0
//    12     4  previous page on the same level (0 at the left end)
//    16     4  next page on the same level (0 at the right end)
//    20     4  child-tail page (nodes only: the last child, not listed as an entry)
//    24     2  shared-prefix length
//    26     1  level above the leaves (0 on leaves; Access writes 1 on nodes)
//    27   453  entry-end bitmask: bit k set = an entry ends at byte k of the entry area
//   480  3616  entries
//
// Entry 0 is stored whole; every later entry omits its first `prefix` bytes,
// which are the first `prefix` bytes of entry 0.
//   leaf entry: key bytes, page (3 bytes big-endian), row (1 byte)
//   node entry: key bytes, page (3 bytes BE), row, child page (4 bytes BE);
//               key + row pointer are a copy of the last entry of that child's subtree.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/format.h"

namespace jet {

inline constexpr std::uint8_t kIndexNodePage = 0x03;
inline constexpr std::uint8_t kIndexLeafPage = 0x04;
inline constexpr std::size_t kLeafPointerSize = 4;  // page BE24 + row
inline constexpr std::size_t kNodePointerSize = 8;  // page BE24 + row + child BE32

// One index entry: the encoded key and the row it names. This is the unit the
// index readers hand out and the index builder takes in.
struct IndexEntry {
    std::vector<std::uint8_t> key;
    RowPointer row;
    bool operator==(const IndexEntry&) const = default;
};

// An entry as stored on a page (prefix restored).
struct IndexPageEntry {
    IndexEntry entry;
    std::uint32_t child = 0;  // node pages only
};

struct IndexPage {
    std::uint32_t number = 0;
    std::uint8_t type = 0;    // kIndexNodePage or kIndexLeafPage
    std::uint8_t marker = 0;  // byte 1, 0x01
    std::uint16_t free_space = 0;
    std::uint32_t owner = 0;     // table definition page
    std::uint32_t reserved = 0;  // bytes 8-11 (Jet 4 only)
    std::uint32_t prev = 0;
    std::uint32_t next = 0;
    std::uint32_t tail = 0;
    std::uint16_t prefix_length = 0;
    std::uint8_t level = 0;
    std::size_t used = 0;        // bytes of the entry area up to the last marked end
    std::size_t entry_area = 0;  // Format::index_entry_area()
    std::vector<IndexPageEntry> entries;
    // Entries a page with more of them left over, their key buffers kept
    // for the pages parsed into this one later.
    std::vector<IndexPageEntry> spare;

    bool is_leaf() const { return type == kIndexLeafPage; }
    // The free space the header should state for the entries found.
    std::uint16_t expected_free_space() const {
        return static_cast<std::uint16_t>(entry_area - used);
    }
};

// Decodes an index page. `where` names the page for error descriptions
// (PageFile::where). Throws Error(damaged) when the page is no index page or
// its mask, prefix or entries cannot be decoded; consistency of the decoded
// fields (free space, order, links) is left to the caller.
IndexPage parse_index_page(const Format& format, Bytes page, std::uint32_t number,
                           const std::string& where);
// The same into `out`, reusing its entries' buffers (for walks over many pages).
void parse_index_page(const Format& format, Bytes page, std::uint32_t number,
                      const std::string& where, IndexPage& out);

// Splits a stored entry (prefix already restored) into key, row pointer and,
// on node pages, child. Throws Error(damaged) when it is too short.
IndexPageEntry split_index_entry(Bytes raw, bool leaf, const std::string& where);

}  // namespace jet
