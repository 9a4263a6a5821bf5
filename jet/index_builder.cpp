#include "jet/index_builder.h"

#include <algorithm>
#include <string>

#include "jet/bytes.h"
#include "jet/error.h"

namespace jet {

namespace {

using Group = IndexTreePlan::Group;

std::size_t common_prefix(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    while (i < n && a[i] == b[i]) {
        ++i;
    }
    return i;
}

// Accumulates the entries of one page and tells whether another still fits.
class PageFill {
  public:
    PageFill(std::span<const IndexEntry> entries, bool use_prefix, std::size_t pointer_size)
        : entries_(entries), use_prefix_(use_prefix), pointer_size_(pointer_size) {}

    // Bytes the page would need with entry `e` (an index into entries) added.
    std::size_t size_with(std::size_t e) const {
        const auto& key = entries_[e].key;
        const std::size_t size = key.size() + pointer_size_;
        if (count_ == 0) {
            return size;
        }
        std::size_t prefix = 0;
        if (use_prefix_) {
            prefix = std::min({common_prefix(entries_[first_].key, key), min_key_, key.size()});
        }
        return total_ + size - count_ * prefix;
    }
    void add(std::size_t e) {
        if (count_ == 0) {
            first_ = e;
            min_key_ = entries_[e].key.size();
        }
        ++count_;
        total_ += entries_[e].key.size() + pointer_size_;
        min_key_ = std::min(min_key_, entries_[e].key.size());
    }
    std::size_t count() const { return count_; }
    void reset() { count_ = total_ = 0; }

  private:
    std::span<const IndexEntry> entries_;
    bool use_prefix_;
    std::size_t pointer_size_;
    std::size_t first_ = 0;
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

}  // namespace

std::size_t IndexTreePlan::page_count() const {
    std::size_t n = 0;
    for (const auto& l : levels) {
        n += l.size();
    }
    return n;
}

IndexTreePlan plan_index_tree(std::span<const IndexEntry> entries, bool use_prefix) {
    IndexTreePlan plan;
    plan.use_prefix = use_prefix;
    std::vector<Group> leaves;
    PageFill fill(entries, use_prefix, kLeafPointerSize);
    std::size_t first = 0;
    for (std::size_t e = 0; e < entries.size(); ++e) {
        if (fill.count() > 0 && fill.size_with(e) > kIndexEntryArea) {
            leaves.push_back({first, e});
            fill.reset();
            first = e;
        }
        if (fill.size_with(e) > kIndexEntryArea) {
            entry_too_long(fill.size_with(e));
        }
        fill.add(e);
    }
    leaves.push_back({first, entries.size()});
    plan.levels.push_back(std::move(leaves));

    // Node levels. A node's stored entries are the last leaf entries of all
    // its children but the last one, which is its tail.
    while (plan.levels.back().size() > 1) {
        const std::size_t li = plan.levels.size() - 1;
        const std::size_t children = plan.levels[li].size();
        std::vector<std::size_t> last(children);
        for (std::size_t c = 0; c < children; ++c) {
            last[c] = last_entry_of(plan, li, c);
        }
        std::vector<Group> nodes;
        PageFill node_fill(entries, use_prefix, kNodePointerSize);
        std::size_t start = 0;
        for (std::size_t c = 0; c < children; ++c) {
            // Child c joins as the tail; the previous tail becomes an entry.
            if (c > start) {
                const std::size_t promoted = last[c - 1];
                if (node_fill.size_with(promoted) > kIndexEntryArea) {
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
    return plan;
}

std::uint32_t write_index_tree(const IndexTreePlan& plan, std::span<const IndexEntry> entries,
                               std::span<const std::uint32_t> pages, std::uint32_t owner,
                               const std::function<void(std::uint32_t, const PageBuf&)>& sink) {
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
    std::vector<std::uint8_t> first_bytes;
    std::vector<std::uint8_t> bytes;
    for (std::size_t li = 0; li < plan.levels.size(); ++li) {
        const auto& level = plan.levels[li];
        const bool leaf = li == 0;
        for (std::size_t g = 0; g < level.size(); ++g) {
            PageBuf page{};
            MutableBytes p(page.data(), page.size());
            p[0] = leaf ? kIndexLeafPage : kIndexNodePage;
            p[1] = 0x01;
            put_le32(p, 4, owner);
            put_le32(p, 12, g > 0 ? numbers[li][g - 1] : 0);
            put_le32(p, 16, g + 1 < level.size() ? numbers[li][g + 1] : 0);
            p[26] = static_cast<std::uint8_t>(li);

            // (leaf entry, child page) for each stored entry of this page.
            std::vector<std::pair<std::size_t, std::uint32_t>> stored;
            const Group grp = level[g];
            if (leaf) {
                for (std::size_t e = grp.first; e < grp.last; ++e) {
                    stored.emplace_back(e, 0);
                }
            } else {
                const std::size_t n = grp.last - grp.first;
                const std::size_t listed = n >= 2 ? n - 1 : n;
                for (std::size_t c = grp.first; c < grp.first + listed; ++c) {
                    stored.emplace_back(last_entry_of(plan, li - 1, c), numbers[li - 1][c]);
                }
                if (n >= 2) {
                    put_le32(p, 20, numbers[li - 1][grp.last - 1]);
                }
            }
            std::size_t prefix = 0;
            if (plan.use_prefix && stored.size() >= 2) {
                const auto& k0 = entries[stored.front().first].key;
                prefix = common_prefix(k0, entries[stored.back().first].key);
                for (const auto& s : stored) {
                    prefix = std::min(prefix, entries[s.first].key.size());
                }
            }
            put_le16(p, 24, static_cast<std::uint16_t>(prefix));
            std::size_t pos = 0;
            for (std::size_t k = 0; k < stored.size(); ++k) {
                const IndexEntry& e = entries[stored[k].first];
                bytes.assign(e.key.begin(), e.key.end());
                bytes.push_back(static_cast<std::uint8_t>(e.row.page >> 16));
                bytes.push_back(static_cast<std::uint8_t>(e.row.page >> 8));
                bytes.push_back(static_cast<std::uint8_t>(e.row.page));
                bytes.push_back(e.row.row);
                if (!leaf) {
                    const std::uint32_t child = stored[k].second;
                    for (int s = 24; s >= 0; s -= 8) {
                        bytes.push_back(static_cast<std::uint8_t>(child >> s));
                    }
                }
                const std::size_t skip = k == 0 ? 0 : prefix;
                const std::size_t len = bytes.size() - skip;
                if (pos + len > kIndexEntryArea) {
                    throw Error(ErrorKind::damaged,
                                "Internal error: index page overfilled while writing.");
                }
                std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(skip), bytes.end(),
                          page.begin() + static_cast<std::ptrdiff_t>(kIndexEntriesOffset + pos));
                pos += len;
                p[kIndexMaskOffset + pos / 8] =
                    static_cast<std::uint8_t>(p[kIndexMaskOffset + pos / 8] | (1u << (pos % 8)));
            }
            put_le16(p, 2, static_cast<std::uint16_t>(kIndexEntryArea - pos));
            sink(numbers[li][g], page);
        }
    }
    return pages.back();
}

}  // namespace jet
