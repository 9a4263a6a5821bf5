#include "jet/format/index_builder.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "jet/format/bytes.h"
#include "jet/format/error.h"
#include "jet/format/index_key.h"

namespace jet {

namespace {

using Group = IndexTreePlan::Group;

// Accumulates the keys of one page and tells whether another still fits.
class PageFill {
  public:
    PageFill(bool use_prefix, std::size_t pointer_size)
        : use_prefix_(use_prefix), pointer_size_(pointer_size) {}

    // Bytes the page would need with an entry of key `key` added.
    std::size_t size_with(const std::vector<std::uint8_t>& key) const {
        const std::size_t size = key.size() + pointer_size_;
        if (count_ == 0) {
            return size;
        }
        std::size_t prefix = 0;
        if (use_prefix_) {
            prefix = std::min({common_prefix(first_, key), min_key_, key.size()});
        }
        return total_ + size - count_ * prefix;
    }
    void add(const std::vector<std::uint8_t>& key) {
        if (count_ == 0) {
            first_.assign(key.begin(), key.end());
            min_key_ = key.size();
        }
        ++count_;
        total_ += key.size() + pointer_size_;
        min_key_ = std::min(min_key_, key.size());
    }
    std::size_t count() const { return count_; }
    void reset() { count_ = total_ = 0; }

  private:
    bool use_prefix_;
    std::size_t pointer_size_;
    std::vector<std::uint8_t> first_;
    std::size_t count_ = 0;
    std::size_t total_ = 0;
    std::size_t min_key_ = 0;
};

void entry_too_long(std::size_t size) {
    throw Error(ErrorKind::damaged, "An index entry of " + std::to_string(size) +
                                        " bytes is longer than an index page can hold.");
}

// The leaf entry that ends the subtree of page `g` of level `li`.
std::size_t last_entry_of(const IndexTreePlan& plan, std::size_t li, std::size_t g) {
    while (li > 0) {
        g = plan.levels[li][g].last - 1;
        --li;
    }
    return plan.levels[0][g].last - 1;
}

void add_node_levels(IndexTreePlan& plan, std::span<const IndexEntry> entries);

}  // namespace

std::size_t IndexTreePlan::page_count() const {
    std::size_t n = 0;
    for (const auto& l : levels) {
        n += l.size();
    }
    return n;
}

IndexTreePlan plan_index_tree(const Format& format, std::span<const IndexEntry> entries,
                              bool use_prefix) {
    IndexTreePlan plan;
    plan.format = &format;
    plan.use_prefix = use_prefix;
    const std::size_t area = format.index_entry_area();
    std::vector<Group> leaves;
    PageFill fill(use_prefix, kLeafPointerSize);
    std::size_t first = 0;
    for (std::size_t e = 0; e < entries.size(); ++e) {
        const auto& key = entries[e].key;
        if (fill.count() > 0 && fill.size_with(key) > area) {
            leaves.push_back({first, e});
            fill.reset();
            first = e;
        }
        if (fill.size_with(key) > area) {
            entry_too_long(fill.size_with(key));
        }
        fill.add(key);
    }
    leaves.push_back({first, entries.size()});
    plan.levels.push_back(std::move(leaves));
    add_node_levels(plan, entries);
    return plan;
}

namespace {

// Node levels above plan.levels[0]. A node's stored entries are the last leaf entries of all
// its children but the last one, which is its tail.
void add_node_levels(IndexTreePlan& plan, std::span<const IndexEntry> entries) {
    const bool use_prefix = plan.use_prefix;
    const std::size_t area = plan.format->index_entry_area();
    while (plan.levels.back().size() > 1) {
        const std::size_t li = plan.levels.size() - 1;
        const std::size_t children = plan.levels[li].size();
        std::vector<std::size_t> last(children);
        for (std::size_t c = 0; c < children; ++c) {
            last[c] = last_entry_of(plan, li, c);
        }
        std::vector<Group> nodes;
        PageFill node_fill(use_prefix, kNodePointerSize);
        std::size_t start = 0;
        for (std::size_t c = 0; c < children; ++c) {
            // Child c joins as the tail; the previous tail becomes an entry.
            if (c > start) {
                const auto& promoted = entries[last[c - 1]].key;
                if (node_fill.size_with(promoted) > area) {
                    if (c - start < 2) {
                        entry_too_long(node_fill.size_with(promoted));
                    }
                    nodes.push_back({start, c});
                    node_fill.reset();
                    start = c;
                    continue;
                }
                node_fill.add(promoted);
            }
        }
        nodes.push_back({start, children});
        // A node of one child would store no entry: give it the previous
        // node's last child when that one can spare it.
        if (nodes.size() > 1 && nodes.back().last - nodes.back().first == 1 &&
            nodes[nodes.size() - 2].last - nodes[nodes.size() - 2].first >= 3) {
            nodes[nodes.size() - 2].last -= 1;
            nodes.back().first -= 1;
        }
        plan.levels.push_back(std::move(nodes));
    }
}

}  // namespace

namespace {

// One entry as a page stores it, with the child it names on a node page.
struct StoredEntry {
    const IndexEntry* entry = nullptr;
    std::uint32_t child = 0;
};

struct PageLinks {
    std::uint32_t prev = 0;
    std::uint32_t next = 0;
    std::uint32_t tail = 0;
};

PageBuf build_index_page(const Format& format, std::span<const StoredEntry> stored, bool leaf,
                         bool use_prefix, std::size_t level, std::uint32_t owner,
                         const PageLinks& links) {
    const IndexPageLayout& at = format.index_page;
    const std::size_t area_size = format.index_entry_area();
    PageBuf page = blank_page(format);
    MutableBytes p(page.data(), page.size());
    p[0] = leaf ? kIndexLeafPage : kIndexNodePage;
    p[1] = 0x01;
    put_le32(p, 4, owner);
    put_le32(p, at.prev, links.prev);
    put_le32(p, at.next, links.next);
    put_le32(p, at.tail, links.tail);
    p[at.level] = static_cast<std::uint8_t>(level);
    std::size_t prefix = 0;
    if (use_prefix && stored.size() >= 2) {
        prefix = common_prefix(stored.front().entry->key, stored.back().entry->key);
        for (const auto& s : stored) {
            prefix = std::min(prefix, s.entry->key.size());
        }
    }
    if (at.prefix_size == 1) {
        // Jet 3 keeps the prefix length in a byte (the level follows it).
        prefix = std::min<std::size_t>(prefix, 0xFF);
        p[at.prefix] = static_cast<std::uint8_t>(prefix);
    } else {
        put_le16(p, at.prefix, static_cast<std::uint16_t>(prefix));
    }
    std::size_t pos = 0;
    std::uint8_t* const area = page.data() + at.entries_offset;
    for (std::size_t k = 0; k < stored.size(); ++k) {
        const IndexEntry& e = *stored[k].entry;
        std::uint8_t tail[kNodePointerSize] = {static_cast<std::uint8_t>(e.row.page >> 16),
                                               static_cast<std::uint8_t>(e.row.page >> 8),
                                               static_cast<std::uint8_t>(e.row.page), e.row.row};
        std::size_t tail_size = kLeafPointerSize;
        if (!leaf) {
            const std::uint32_t child = stored[k].child;
            for (std::size_t b = 0; b < 4; ++b) {
                tail[4 + b] = static_cast<std::uint8_t>(child >> (24 - 8 * b));
            }
            tail_size = kNodePointerSize;
        }
        const std::size_t skip = k == 0 ? 0 : prefix;
        const std::size_t len = e.key.size() + tail_size - skip;
        if (pos + len > area_size) {
            throw Error(ErrorKind::damaged, "Internal error: index page overfilled while writing.");
        }
        // The stored bytes: the key after the shared prefix, then the pointer.
        std::copy(e.key.begin() + static_cast<std::ptrdiff_t>(skip), e.key.end(), area + pos);
        std::copy(tail, tail + tail_size,
                  area + pos + static_cast<std::ptrdiff_t>(e.key.size() - skip));
        pos += len;
        p[at.mask_offset + pos / 8] =
            static_cast<std::uint8_t>(p[at.mask_offset + pos / 8] | (1u << (pos % 8)));
    }
    put_le16(p, 2, static_cast<std::uint16_t>(area_size - pos));
    return page;
}

// Writes the levels of `plan` from `first_level` up; returns the root.
std::uint32_t write_levels(const IndexTreePlan& plan, std::span<const IndexEntry> entries,
                           std::span<const std::uint32_t> pages, std::uint32_t owner,
                           const IndexPageSink& sink, std::size_t first_level) {
    if (pages.size() != plan.page_count()) {
        throw Error(ErrorKind::damaged, "Internal error: an index tree got " +
                                            std::to_string(pages.size()) + " pages for " +
                                            std::to_string(plan.page_count()) + " planned.");
    }
    std::vector<std::span<const std::uint32_t>> numbers;
    std::size_t at = 0;
    for (const auto& level : plan.levels) {
        numbers.push_back(pages.subspan(at, level.size()));
        at += level.size();
    }
    std::vector<StoredEntry> stored;
    for (std::size_t li = first_level; li < plan.levels.size(); ++li) {
        const auto& level = plan.levels[li];
        const bool leaf = li == 0;
        for (std::size_t g = 0; g < level.size(); ++g) {
            PageLinks links;
            links.prev = g > 0 ? numbers[li][g - 1] : 0;
            links.next = g + 1 < level.size() ? numbers[li][g + 1] : 0;
            stored.clear();
            const Group grp = level[g];
            if (leaf) {
                for (std::size_t e = grp.first; e < grp.last; ++e) {
                    stored.push_back({&entries[e], 0});
                }
            } else {
                const std::size_t n = grp.last - grp.first;
                const std::size_t listed = n >= 2 ? n - 1 : n;
                for (std::size_t c = grp.first; c < grp.first + listed; ++c) {
                    stored.push_back(
                        {&entries[last_entry_of(plan, li - 1, c)], numbers[li - 1][c]});
                }
                if (n >= 2) {
                    links.tail = numbers[li - 1][grp.last - 1];
                }
            }
            sink(numbers[li][g],
                 build_index_page(*plan.format, stored, leaf, plan.use_prefix, li, owner, links));
        }
    }
    return pages.back();
}

}  // namespace

std::uint32_t write_index_tree(const IndexTreePlan& plan, std::span<const IndexEntry> entries,
                               std::span<const std::uint32_t> pages, std::uint32_t owner,
                               const IndexPageSink& sink) {
    return write_levels(plan, entries, pages, owner, sink, 0);
}

IndexLeafWriter::IndexLeafWriter(const Format& format, bool use_prefix, std::uint32_t first_page,
                                 std::uint32_t owner, IndexPageSink sink)
    : format_(&format),
      use_prefix_(use_prefix),
      first_page_(first_page),
      owner_(owner),
      sink_(std::move(sink)) {}

void IndexLeafWriter::add(const IndexEntry& e) {
    // The same greedy fill as plan_index_tree, one entry at a time.
    auto size_with = [&](const std::vector<std::uint8_t>& key) {
        const std::size_t size = key.size() + kLeafPointerSize;
        if (count_ == 0) {
            return size;
        }
        std::size_t prefix = 0;
        if (use_prefix_) {
            prefix = std::min({common_prefix(page_[0].key, key), min_key_, key.size()});
        }
        return total_ + size - count_ * prefix;
    };
    const std::size_t area = format_->index_entry_area();
    std::size_t size = size_with(e.key);
    if (count_ > 0 && size > area) {
        flush(false);
        size = size_with(e.key);
    }
    if (size > area) {
        entry_too_long(size);
    }
    if (page_.size() <= count_) {
        page_.push_back(e);
    } else {
        page_[count_].key.assign(e.key.begin(), e.key.end());
        page_[count_].row = e.row;
    }
    min_key_ = count_ == 0 ? e.key.size() : std::min(min_key_, e.key.size());
    total_ += e.key.size() + kLeafPointerSize;
    ++count_;
    ++entries_;
}

void IndexLeafWriter::flush(bool last) {
    const auto number = static_cast<std::uint32_t>(first_page_ + leaves_);
    if (sink_) {
        std::vector<StoredEntry> stored(count_);
        for (std::size_t k = 0; k < count_; ++k) {
            stored[k].entry = &page_[k];
        }
        PageLinks links;
        links.prev = leaves_ > 0 ? number - 1 : 0;
        links.next = last ? 0 : number + 1;
        sink_(number, build_index_page(*format_, stored, true, use_prefix_, 0, owner_, links));
    }
    if (count_ > 0) {
        lasts_.push_back(page_[count_ - 1]);
    }
    ++leaves_;
    count_ = 0;
    total_ = 0;
}

std::vector<IndexEntry> IndexLeafWriter::finish() {
    flush(true);
    return std::move(lasts_);
}

IndexTreePlan plan_index_nodes(const Format& format, std::span<const IndexEntry> lasts,
                               std::size_t leaf_count, bool use_prefix) {
    IndexTreePlan plan;
    plan.format = &format;
    plan.use_prefix = use_prefix;
    std::vector<Group> leaves;
    if (leaf_count <= 1) {
        leaves.push_back({0, lasts.size()});
        plan.levels.push_back(std::move(leaves));
        return plan;
    }
    if (lasts.size() != leaf_count) {
        throw Error(ErrorKind::damaged, "Internal error: an index leaf without entries.");
    }
    for (std::size_t c = 0; c < leaf_count; ++c) {
        leaves.push_back({c, c + 1});
    }
    plan.levels.push_back(std::move(leaves));
    add_node_levels(plan, lasts);
    return plan;
}

std::uint32_t write_index_nodes(const IndexTreePlan& plan, std::span<const IndexEntry> lasts,
                                std::span<const std::uint32_t> pages, std::uint32_t owner,
                                const IndexPageSink& sink) {
    return write_levels(plan, lasts, pages, owner, sink, 1);
}

}  // namespace jet
