#pragma once
// Bulk-loading an index B-tree from its entries, in sorted order.
//
// Leaves are filled in order until the next entry no longer fits the entry
// area (3616 bytes in Jet 4, 1800 in Jet 3: Format::index_page); each page stores its first entry
// whole and the others without the prefix they share with it (at most the shortest key on the page,
// so a prefix never reaches into a row pointer). Node levels are built above the leaves until one
// page remains, the root: a node lists every child but its last as a copy of the child's last leaf
// entry followed by the child's page number (big-endian); the last child is named by the tail field
// only. Byte 26 (Jet 3: 21) holds the level (0 leaves, 1 above them, ...), each level is a
// doubly linked list, and an empty index is one empty leaf.
//
// Planning and writing are separate so that a compaction can reserve the
// pages of every tree before it knows their numbers.
//
// A large index need not be held in memory: IndexLeafWriter takes the entries
// one at a time and writes each leaf as soon as it is full (or only counts
// the leaves), keeping just the last entry of every leaf; the node levels are
// then planned and written from those. Both ways give the same bytes.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "jet/format/index_page.h"
#include "jet/format/page_file.h"

namespace jet {

struct IndexTreePlan {
    // levels[0] = leaves; each page is the half-open range [first, last) of
    // entries (leaves) or of pages of the level below (nodes).
    struct Group {
        std::size_t first = 0;
        std::size_t last = 0;
    };
    std::vector<std::vector<Group>> levels;
    const Format* format = nullptr;  // whose index pages the plan fills
    bool use_prefix = true;

    std::size_t page_count() const;
};

// Plans the pages of a tree over `entries` (sorted, strictly increasing).
// Without `use_prefix` every entry is stored whole (an upper bound on the
// size of any tree over keys of the same lengths).
IndexTreePlan plan_index_tree(const Format& format, std::span<const IndexEntry> entries,
                              bool use_prefix);

// Writes the planned tree onto `pages` (page_count() numbers; leaves first,
// level by level, the root last) owned by table definition `owner`, handing
// each finished page to `sink`. Returns the root page number.
using IndexPageSink = std::function<void(std::uint32_t, const PageBuf&)>;

std::uint32_t write_index_tree(const IndexTreePlan& plan, std::span<const IndexEntry> entries,
                               std::span<const std::uint32_t> pages, std::uint32_t owner,
                               const IndexPageSink& sink);

// Fills leaves in order, as plan_index_tree does, from entries handed over
// one at a time. Leaf k goes to page first_page + k. Without a sink the
// leaves are only counted.
class IndexLeafWriter {
  public:
    IndexLeafWriter(const Format& format, bool use_prefix, std::uint32_t first_page,
                    std::uint32_t owner, IndexPageSink sink = {});
    // `e` must sort after the entry before it (the caller checks). Throws
    // Error(damaged) for an entry longer than a page can hold.
    void add(const IndexEntry& e);
    // Ends the last leaf (an index without entries has one empty leaf) and
    // returns the last entry of every leaf, in order.
    std::vector<IndexEntry> finish();
    std::size_t leaf_count() const { return leaves_; }
    std::size_t entry_count() const { return entries_; }

  private:
    void flush(bool last);
    const Format* format_;
    bool use_prefix_;
    std::uint32_t first_page_;
    std::uint32_t owner_;
    IndexPageSink sink_;
    std::vector<IndexEntry> page_;  // entries of the leaf being filled (first count_ used)
    std::size_t count_ = 0;
    std::size_t total_ = 0;
    std::size_t min_key_ = 0;
    std::size_t leaves_ = 0;
    std::size_t entries_ = 0;
    std::vector<IndexEntry> lasts_;
};

// The node levels above `leaf_count` leaves whose last entries are `lasts`
// (empty when there is a single leaf): levels[0] stands for the leaves, one
// group per leaf; page_count() counts the leaves too.
IndexTreePlan plan_index_nodes(const Format& format, std::span<const IndexEntry> lasts,
                               std::size_t leaf_count, bool use_prefix);

// Writes the node levels of such a plan. `pages` numbers every page of the
// tree, leaves first (they are written already); returns the root.
std::uint32_t write_index_nodes(const IndexTreePlan& plan, std::span<const IndexEntry> lasts,
                                std::span<const std::uint32_t> pages, std::uint32_t owner,
                                const IndexPageSink& sink);

}  // namespace jet
