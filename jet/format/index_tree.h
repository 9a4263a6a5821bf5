#pragma once
// Walking one index B-tree from its root page.
//
// The walk is bounded: every page is visited at most once (a page reached a
// second time is reported, not followed), the depth is capped, and a page
// that does not decode ends its branch with a problem instead of an
// exception. The result lists the pages of every level from left to right and
// whatever was found wrong on the way; the leaf entries are either collected
// (read_index_tree) or handed out one at a time in tree order
// (walk_index_tree), so that a large index need not be held in memory.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "jet/format/index_page.h"
#include "jet/format/page_file.h"

namespace jet {

// Something wrong in a tree. `code` is a stable name ("index-out-of-order",
// "index-bad-mask", ...); `description` is meant for a person.
struct IndexProblem {
    std::string code;
    std::uint32_t page = 0;
    std::string description;
};

struct IndexTree {
    std::uint32_t root = 0;
    std::vector<IndexEntry> entries;  // leaf entries, left to right (read_index_tree)
    std::vector<std::vector<std::uint32_t>> levels;  // levels[0] = {root}; the last = leaves
    std::set<std::uint32_t> pages;                   // every page reached
    std::vector<IndexProblem> problems;              // empty for a sound tree
};

struct IndexTreeOptions {
    std::uint32_t owner = 0;  // expected owning table definition page; 0 = not checked
    std::size_t max_depth = 16;
    std::size_t max_problems = 32;  // further problems are counted in one last line
};

// Called for every leaf entry in tree order with the leaf page holding it.
using IndexEntryVisitor = std::function<void(const IndexEntry&, std::uint32_t leaf)>;

// Walks the tree rooted at `root`, handing each leaf entry to `visit` (the
// entry is valid only during the call); `entries` of the result stays empty.
// Memory grows with the number of index pages, not entries. Never throws for
// damage inside the tree; throws only when the file itself cannot be read
// (Error(io)) or when `visit` throws.
IndexTree walk_index_tree(const PageFile& file, std::uint32_t root, const IndexTreeOptions& options,
                          const IndexEntryVisitor& visit);

// Reads the tree rooted at `root`, collecting its leaf entries.
IndexTree read_index_tree(const PageFile& file, std::uint32_t root,
                          const IndexTreeOptions& options = {});

// True for a problem that leaves every entry reachable and in order and
// only makes a page field stale (a sibling link, the stated free space):
// rebuilding the tree from its entries mends it without loss.
bool index_problem_mendable(const IndexProblem& problem);

// Hands the leaf entries of a tree to `visit` in order, then throws
// Error(damaged) with the first problem's description when the tree is not
// sound; a caller must not keep what it built from the entries before that.
// With `mendable`, problems that rebuilding the tree mends are not thrown but
// handed back there.
void for_each_index_entry(const PageFile& file, std::uint32_t root, std::uint32_t owner,
                          const IndexEntryVisitor& visit,
                          std::vector<IndexProblem>* mendable = nullptr);

// The leaf entries of a sound tree in order. Throws Error(damaged) with the
// first problem's description when the tree is not sound.
std::vector<IndexEntry> read_index_entries(const PageFile& file, std::uint32_t root,
                                           std::uint32_t owner = 0);

}  // namespace jet
