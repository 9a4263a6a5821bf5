#include "jet/format/index_tree.h"

#include <deque>
#include <map>
#include <optional>

#include "jet/format/error.h"
#include "jet/format/index_key.h"

namespace jet {

namespace {

std::string hex_key(const IndexEntry& e) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    const std::size_t shown = std::min<std::size_t>(e.key.size(), 16);
    for (std::size_t i = 0; i < shown; ++i) {
        s += digits[e.key[i] >> 4];
        s += digits[e.key[i] & 15];
    }
    if (shown < e.key.size()) {
        s += "...";
    }
    return "key " + (s.empty() ? std::string("(empty)") : s) + " -> page " +
           std::to_string(e.row.page) + " row " + std::to_string(e.row.row);
}

class TreeWalker {
  public:
    TreeWalker(const PageFile& file, const IndexTreeOptions& options, IndexTree& tree,
               const IndexEntryVisitor& sink)
        : file_(file), options_(options), tree_(tree), sink_(sink) {}

    void walk(std::uint32_t root) {
        std::optional<IndexEntry> last;
        visit(root, 0, last);
        check_levels();
        if (suppressed_ > 0) {
            // Named after what was left out when it is all of one mendable kind.
            tree_.problems.push_back(
                {suppressed_links_only_ ? "index-sibling-link" : "index-more-problems", tree_.root,
                 std::to_string(suppressed_) + " further problems in this index were not listed."});
        }
    }

  private:
    // The greatest node entry met since the last leaf entry: the next leaf
    // entry must sort above it.
    struct Bound {
        IndexEntry entry;
        std::uint32_t node = 0;
        std::uint32_t child = 0;
    };

    struct Links {
        std::uint32_t prev = 0;
        std::uint32_t next = 0;
    };

    void problem(const std::string& code, std::uint32_t page, const std::string& text) {
        if (tree_.problems.size() >= options_.max_problems) {
            ++suppressed_;
            suppressed_links_only_ = suppressed_links_only_ && code == "index-sibling-link";
            return;
        }
        tree_.problems.push_back(
            {code, page,
             "Index page " + std::to_string(page) + " of " + file_.path().string() + ": " + text});
    }

    // Visits `number` at `depth`; appends its leaf entries and returns through
    // `last` the last leaf entry of its subtree (nothing when it has none).
    void visit(std::uint32_t number, std::size_t depth, std::optional<IndexEntry>& last) {
        last.reset();
        if (depth >= options_.max_depth) {
            problem("index-too-deep", number,
                    "the tree is deeper than " + std::to_string(options_.max_depth) +
                        " levels; its links probably form a loop.");
            return;
        }
        if (number == 0 || number >= file_.page_count()) {
            problem("index-dangling-page", number,
                    "the page is named by the index but lies outside the file (" +
                        std::to_string(file_.page_count()) + " pages).");
            return;
        }
        if (!tree_.pages.insert(number).second) {
            problem("index-page-reused", number,
                    "the page is reached a second time within the same tree.");
            return;
        }
        const PageBuf buf = file_.read(number);
        if (buf[0] != kIndexNodePage && buf[0] != kIndexLeafPage) {
            problem("index-page-type", number,
                    "expected an index node or leaf page, found page type " +
                        std::to_string(buf[0]) + ".");
            return;
        }
        // One decoded page per depth, reused from page to page.
        while (decoded_.size() <= depth) {
            decoded_.emplace_back();
        }
        IndexPage& page = decoded_[depth];
        try {
            parse_index_page(file_.format(), Bytes(buf.data(), buf.size()), number,
                             file_.where(number), page);
        } catch (const Error& e) {
            problem("index-bad-mask", number, e.what());
            return;
        }
        if (tree_.levels.size() <= depth) {
            tree_.levels.resize(depth + 1);
        }
        tree_.levels[depth].push_back(number);
        links_[number] = {page.prev, page.next};
        check_header(page);

        if (page.is_leaf()) {
            if (leaf_depth_ && *leaf_depth_ != depth) {
                problem("index-unbalanced", number,
                        "this leaf lies at depth " + std::to_string(depth) +
                            " while other leaves lie at depth " + std::to_string(*leaf_depth_) +
                            ".");
            }
            if (!leaf_depth_) {
                leaf_depth_ = depth;
            }
            for (const auto& e : page.entries) {
                leaf_entry(e.entry, number);
            }
            if (!page.entries.empty()) {
                last = previous_;
            }
            return;
        }

        if (page.entries.empty() && page.tail == 0) {
            problem("index-empty-node", number, "the node page names no child page.");
            return;
        }
        // A node entry is an upper bound of its child's subtree: Jet writes
        // the subtree's last entry when it builds or splits the page, but
        // leaves it as it was when the last entries below are deleted. It
        // must not sort below any entry of the subtree (checked here) nor at
        // or after the first entry of the next subtree (checked when that
        // entry comes by); then a search through the node finds every entry.
        for (const auto& e : page.entries) {
            std::optional<IndexEntry> child_last;
            visit(e.child, depth + 1, child_last);
            if (child_last && compare_entries(e.entry, *child_last) < 0) {
                problem("index-node-mismatch", number,
                        "the entry for child page " + std::to_string(e.child) + " (" +
                            hex_key(e.entry) + ") sorts below the last entry of that subtree (" +
                            hex_key(*child_last) + "); a search would miss the entries above it.");
            }
            if (!bound_ || compare_entries(bound_->entry, e.entry) < 0) {
                bound_ = Bound{e.entry, number, e.child};
            }
            if (child_last) {
                last = std::move(child_last);
            }
        }
        if (page.tail != 0) {
            std::optional<IndexEntry> child_last;
            visit(page.tail, depth + 1, child_last);
            if (child_last) {
                last = std::move(child_last);
            }
        }
    }

    void check_header(const IndexPage& page) {
        if (page.marker != 0x01) {
            problem("index-bad-header", page.number,
                    "byte 1 is " + std::to_string(page.marker) + " instead of 1.");
        }
        if (options_.owner != 0 && page.owner != options_.owner) {
            problem("index-wrong-owner", page.number,
                    "the page names table definition page " + std::to_string(page.owner) +
                        " but belongs to the index of the table at page " +
                        std::to_string(options_.owner) + ".");
        }
        if (page.is_leaf() && page.tail != 0) {
            problem("index-bad-header", page.number,
                    "a leaf page names a child-tail page (" + std::to_string(page.tail) + ").");
        }
        if (page.free_space != page.expected_free_space()) {
            problem("index-free-space", page.number,
                    "the header states " + std::to_string(page.free_space) +
                        " free bytes, the entries leave " +
                        std::to_string(page.expected_free_space()) + ".");
        }
        // The shared prefix is taken over whole entries, row pointer
        // included, so it may reach past a short key: decoding restores
        // the same bytes in every entry, and nothing more is asked of it.
    }

    void check_levels() {
        for (std::size_t d = 0; d < tree_.levels.size(); ++d) {
            const auto& level = tree_.levels[d];
            for (std::size_t i = 0; i < level.size(); ++i) {
                const Links& l = links_[level[i]];
                const std::uint32_t want_prev = i == 0 ? 0 : level[i - 1];
                const std::uint32_t want_next = i + 1 == level.size() ? 0 : level[i + 1];
                // Searches follow child pointers, never the links of a node
                // level, and some writers leave a node level unlinked where
                // one subtree ends and the next begins: a missing link there
                // is no fault. The leaf level must be linked end to end.
                const bool leaves = d + 1 == tree_.levels.size();
                auto fits = [&](std::uint32_t link, std::uint32_t want) {
                    return link == want || (!leaves && link == 0);
                };
                if (!fits(l.prev, want_prev) || !fits(l.next, want_next)) {
                    problem("index-sibling-link", level[i],
                            "its neighbours on level " + std::to_string(d) + " are given as " +
                                std::to_string(l.prev) + " / " + std::to_string(l.next) +
                                ", the tree has " + std::to_string(want_prev) + " / " +
                                std::to_string(want_next) + ".");
                }
            }
        }
    }

    // Each entry must sort after the one before it, across leaves too.
    void leaf_entry(const IndexEntry& entry, std::uint32_t leaf) {
        if (bound_) {
            if (compare_entries(bound_->entry, entry) >= 0) {
                problem("index-node-mismatch", bound_->node,
                        "the entry for child page " + std::to_string(bound_->child) + " (" +
                            hex_key(bound_->entry) +
                            ") does not sort below the first entry of the next subtree (" +
                            hex_key(entry) + ", on page " + std::to_string(leaf) +
                            "); a search would not find that entry.");
            }
            bound_.reset();
        }
        if (count_ > 0 && compare_entries(previous_, entry) >= 0) {
            problem("index-out-of-order", leaf,
                    "entry " + std::to_string(count_) + " (" + hex_key(entry) +
                        ") does not sort after the one before it (" + hex_key(previous_) + ").");
        }
        ++count_;
        if (sink_) {
            sink_(entry, leaf);
        }
        previous_.key.assign(entry.key.begin(), entry.key.end());
        previous_.row = entry.row;
    }

    const PageFile& file_;
    const IndexTreeOptions& options_;
    IndexTree& tree_;
    const IndexEntryVisitor& sink_;
    std::map<std::uint32_t, Links> links_;
    IndexEntry previous_;  // the last leaf entry so far
    std::deque<IndexPage> decoded_;
    std::size_t count_ = 0;
    std::optional<std::size_t> leaf_depth_;
    std::optional<Bound> bound_;
    std::size_t suppressed_ = 0;
    bool suppressed_links_only_ = true;
};

}  // namespace

IndexTree walk_index_tree(const PageFile& file, std::uint32_t root, const IndexTreeOptions& options,
                          const IndexEntryVisitor& visit) {
    IndexTree tree;
    tree.root = root;
    TreeWalker(file, options, tree, visit).walk(root);
    return tree;
}

IndexTree read_index_tree(const PageFile& file, std::uint32_t root,
                          const IndexTreeOptions& options) {
    std::vector<IndexEntry> entries;
    IndexTree tree = walk_index_tree(
        file, root, options, [&](const IndexEntry& e, std::uint32_t) { entries.push_back(e); });
    tree.entries = std::move(entries);
    return tree;
}

bool index_problem_mendable(const IndexProblem& problem) {
    return problem.code == "index-sibling-link" || problem.code == "index-free-space";
}

namespace {

void throw_unsound(const IndexTree& tree, std::vector<IndexProblem>* mendable) {
    for (const auto& p : tree.problems) {
        if (mendable == nullptr || !index_problem_mendable(p)) {
            throw Error(ErrorKind::damaged, p.description);
        }
    }
    if (mendable != nullptr) {
        mendable->insert(mendable->end(), tree.problems.begin(), tree.problems.end());
    }
}

}  // namespace

void for_each_index_entry(const PageFile& file, std::uint32_t root, std::uint32_t owner,
                          const IndexEntryVisitor& visit, std::vector<IndexProblem>* mendable) {
    IndexTreeOptions options;
    options.owner = owner;
    throw_unsound(walk_index_tree(file, root, options, visit), mendable);
}

std::vector<IndexEntry> read_index_entries(const PageFile& file, std::uint32_t root,
                                           std::uint32_t owner) {
    IndexTreeOptions options;
    options.owner = owner;
    IndexTree tree = read_index_tree(file, root, options);
    throw_unsound(tree, nullptr);
    return std::move(tree.entries);
}

}  // namespace jet
