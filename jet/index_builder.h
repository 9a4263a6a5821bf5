#pragma once
// Bulk-loading an index B-tree from its entries, in sorted order.
//
// Leaves are filled in order until the next entry no longer fits the 3616
// bytes of the entry area; each page stores its first entry whole and the
// others without the prefix they share with it (at most the shortest key on
// the page, so a prefix never reaches into a row pointer). Node levels are
// built above the leaves until one page remains, the root: a node lists every
// child but its last as a copy of the child's last leaf entry followed by the
// child's page number (big-endian); the last child is named by the tail field
// only. Byte 26 holds the level (0 leaves, 1 above them, ...), each level is a
// doubly linked list, and an empty index is one empty leaf.
//
// Planning and writing are separate so that a compaction can reserve the
// pages of every tree before it knows their numbers.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "jet/index_page.h"
#include "jet/page_file.h"

namespace jet {

struct IndexTreePlan {
    // levels[0] = leaves; each page is the half-open range [first, last) of
    // entries (leaves) or of pages of the level below (nodes).
    struct Group {
        std::size_t first = 0;
        std::size_t last = 0;
    };
    std::vector<std::vector<Group>> levels;
    bool use_prefix = true;

    std::size_t page_count() const;
};

// Plans the pages of a tree over `entries` (sorted, strictly increasing).
// Without `use_prefix` every entry is stored whole (an upper bound on the
// size of any tree over keys of the same lengths).
IndexTreePlan plan_index_tree(std::span<const IndexEntry> entries, bool use_prefix);

// Writes the planned tree onto `pages` (page_count() numbers; leaves first,
// level by level, the root last) owned by table definition `owner`, handing
// each finished page to `sink`. Returns the root page number.
std::uint32_t write_index_tree(const IndexTreePlan& plan, std::span<const IndexEntry> entries,
                               std::span<const std::uint32_t> pages, std::uint32_t owner,
                               const std::function<void(std::uint32_t, const PageBuf&)>& sink);

}  // namespace jet
