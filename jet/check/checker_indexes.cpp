// The table's walk through its index trees: each entry against the live row
// it names, and each live row against the entries.
#include <algorithm>
#include <atomic>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "jet/check/checker_table.h"
#include "jet/format/database.h"
#include "jet/format/index_key.h"
#include "jet/format/index_tree.h"
#include "jet/format/usage_map.h"

namespace jet::check_detail {

// ------------------------------------------------------------ indexes

std::vector<TableWalk::KeyColumn> TableWalk::key_columns(const RealIndex& ri) const {
    std::vector<KeyColumn> out;
    for (const auto& ic : ri.columns) {
        KeyColumn kc;
        kc.column = def_.column_by_number(ic.number);
        kc.slot = wanted_slot(ic.number);
        kc.ascending = ic.ascending();
        if (kc.column != nullptr) {
            kc.boolean = kc.column->column_type() == ColumnType::boolean;
        }
        out.push_back(kc);
    }
    return out;
}

// Whether every column of the key is null in the live row `at`.
bool TableWalk::all_null(const std::vector<KeyColumn>& key, std::size_t at) const {
    const bool decoded = any_decoded(at);
    for (const auto& kc : key) {
        if (kc.column == nullptr) {
            continue;
        }
        if (kc.boolean) {
            return false;  // booleans are never null
        }
        if (!decoded) {
            continue;
        }
        const CellState s = cell_state(at, kc);
        if (s != CellState::absent && s != CellState::null) {
            return false;
        }
    }
    return true;
}

// Whether some column of the key is null (or unknown) in the row at `at`
// (its place among the live rows, kNone when the row is not live).
bool TableWalk::any_null(const std::vector<KeyColumn>& key, std::size_t at) const {
    const bool decoded = any_decoded(at);
    for (const auto& kc : key) {
        if (kc.column == nullptr || kc.boolean) {
            continue;
        }
        if (!decoded) {
            return true;
        }
        const CellState s = cell_state(at, kc);
        if (s == CellState::absent || s == CellState::null) {
            return true;
        }
    }
    return false;
}

// The checks of one index's entries, one entry at a time in tree order,
// reported into `cx`.
class TableWalk::EntryCheck {
  public:
    EntryCheck(const TableWalk& walk, Context& cx, const RealIndex& ri, const std::string& iname)
        : w_(walk),
          cx_(cx),
          ri_(ri),
          iname_(iname),
          key_(walk.key_columns(ri)),
          seen_(walk.live_count()) {
        // The rows' hashes of this index: every stride_-th of the table's,
        // from its ordinal on.
        if (ri_.ordinal < w_.index_keys_.size() && !w_.key_hashes_.empty()) {
            stride_ = w_.index_keys_.size();
            want_ = w_.key_hashes_.data() + ri_.ordinal;
        }
    }

    // Takes in the next entry of the tree. Its row is found now and its
    // row's hash asked of the memory; the entry is checked kAhead entries
    // later (or at settle_all()), when that hash has come in.
    void entry(const IndexEntry& e) {
        if (waiting_ == kAhead) {
            settle(ring_[first_]);
            first_ = (first_ + 1) % kAhead;
            --waiting_;
        }
        Waiting& w = ring_[(first_ + waiting_) % kAhead];
        w.place = w_.find_live(e.row, hint_);
        hint_ = w.place;
        if (w.place.row != kNone && want_ != nullptr) {
            __builtin_prefetch(want_ + w.place.row * stride_);
        }
        w.row = e.row;
        w.key.assign(e.key.begin(), e.key.end());
        ++waiting_;
    }

    // Checks the entries taken in and not checked yet; due before the
    // findings of the walk are ordered, and before finish().
    void settle_all() {
        for (; waiting_ > 0; --waiting_) {
            settle(ring_[first_]);
            first_ = (first_ + 1) % kAhead;
        }
    }

    // After the walk: live rows the index left out, and its statistics.
    void finish() {
        for (std::size_t p = 0; p + 1 < w_.row_first_.size(); ++p) {
            for (std::size_t i = w_.row_first_[p]; i < w_.row_first_[p + 1]; ++i) {
                if (!seen_[i] && !(ri_.ignore_nulls() && w_.all_null(key_, i))) {
                    const RowPointer r{w_.owned_[p], w_.row_numbers_[i]};
                    error("index-missing-row", ri_.root_page,
                          iname_ + " has no entry for the live row at " + ptr_text(r) + ".");
                }
            }
        }
        if (ri_.stats.b != distinct_) {
            cx_.note("stale-index-stats", w_.tp_, w_.name_,
                     "The statistics of " + iname_ + " count " + std::to_string(ri_.stats.b) +
                         " distinct keys; the index holds " + std::to_string(distinct_) + ".");
        }
    }

  private:
    void error(const std::string& code, std::uint32_t page, const std::string& text) {
        w_.index_error(cx_, ri_.ordinal, code, page, text);
    }

    // An entry waiting to be checked: its key, its row and where that row
    // sits among the live rows.
    struct Waiting {
        std::vector<std::uint8_t> key;
        RowPointer row;
        Place place;
    };

    void settle(Waiting& e) {
        const std::size_t at = e.place.row;
        if (count_ == 0 || compare_keys(previous_key_, e.key) != 0) {
            ++distinct_;
        } else if (ri_.unique() && !w_.any_null(key_, at)) {
            error("index-unique-violation", ri_.root_page,
                  "The unique " + iname_ + " holds the same key twice (rows at " +
                      ptr_text(previous_row_) + " and " + ptr_text(e.row) + ").");
        }
        ++count_;
        previous_key_.swap(e.key);  // e.key is read below as previous_key_
        previous_row_ = e.row;
        if (at == kNone && w_.zeroed_.count(e.row.page) != 0) {
            // The row the entry names was on a page now zeroed: lost,
            // whatever becomes of the index.
            cx_.lossy("index-lost-row", e.row.page, w_.name_,
                      "An entry of " + iname_ + " names the row at " + ptr_text(e.row) +
                          ", on a page of the table that now holds only zeros: that row "
                          "is lost.",
                      Loss{Loss::Kind::page, w_.tp_, e.row.page, 0, 0});
            return;
        }
        if (at == kNone && w_.map_rebuilt_) {
            error("index-row-unfound", ri_.root_page,
                  "An entry of " + iname_ + " names the row at " + ptr_text(e.row) +
                      ", which none of the pages found for the table holds: with its "
                      "owned-pages map unreadable, that row cannot be told from a lost one.");
            return;
        }
        if (at == kNone) {
            if (!contains(w_.owned_, e.row.page)) {
                cx_.named_outside[w_.tp_].insert(e.row.page);
            }
            error("index-dangling-entry", ri_.root_page,
                  "An entry of " + iname_ + " points to " + ptr_text(e.row) +
                      ", which is no live row of the table.");
            return;
        }
        if (seen_[at]) {
            error("index-duplicate-row", ri_.root_page,
                  iname_ + " lists the row at " + ptr_text(e.row) + " more than once.");
        }
        seen_[at] = true;
        const std::uint32_t want = want_ == nullptr ? 0 : want_[at * stride_];
        const std::uint32_t have = key_hash(previous_key_);
        const std::uint32_t alt = want == 0 ? 0 : w_.row_alt_key_hash(at, ri_.ordinal);
        // A long key, whole or cut short, is compared by its first bytes.
        const std::uint32_t first = previous_key_.size() >= kCutKeyBytes
                                        ? key_hash(Bytes(previous_key_).first(kCutKeyPrefix))
                                        : have;
        if (want != 0 && want != have && alt != have && want != first && alt != first) {
            error("index-key-mismatch", ri_.root_page,
                  "The key of " + iname_ + " for the row at " + ptr_text(e.row) +
                      " does not match the row's values; searches by this index would "
                      "miss or misplace the row.");
        }
    }

    // Entries are checked this many behind the walk: the time for their
    // rows' hashes to come in from the memory.
    static constexpr std::size_t kAhead = 16;

    const TableWalk& w_;
    Context& cx_;
    const RealIndex& ri_;
    const std::string& iname_;
    const std::vector<KeyColumn> key_;
    std::vector<bool> seen_;  // a bit per live row
    // Per live row, its key's hash (0: not computed), stride_ apart.
    const std::uint32_t* want_ = nullptr;
    std::size_t stride_ = 0;
    std::size_t count_ = 0;
    std::size_t distinct_ = 0;
    std::vector<std::uint8_t> previous_key_;
    RowPointer previous_row_;
    Waiting ring_[kAhead];  // the entries taken in, not checked yet
    std::size_t first_ = 0;
    std::size_t waiting_ = 0;
    Place hint_;  // where the row of the last entry taken in sits
};

void TableWalk::index_live_pages() {
    page_place_.clear();
    if (owned_.empty() || row_first_.size() != owned_.size() + 1) {
        return;  // no live rows to find
    }
    page_base_ = owned_.front();
    page_place_.assign(owned_.back() - page_base_ + std::size_t{1}, 0);
    for (std::size_t i = 0; i < owned_.size(); ++i) {
        page_place_[owned_[i] - page_base_] = static_cast<std::uint32_t>(i + 1);
    }
}

void TableWalk::check_index(Context& cx, const RealIndex& ri) const {
    ++cx.report.indexes;
    const std::string iname = "index " + std::to_string(ri.ordinal) + " of " + label();
    const auto error = [&](const std::string& code, std::uint32_t page, const std::string& text) {
        index_error(cx, ri.ordinal, code, page, text);
    };
    const auto mapped =
        read_map(cx, ri.map, "usage map of index " + std::to_string(ri.ordinal), MapUse::index,
                 [&](const std::string& code, std::uint32_t page, const std::string& text, bool) {
                     error(code, page, text);
                 });
    IndexTreeOptions o;
    o.owner = tp_;
    // The entries are checked as the walk hands them out; what the walk
    // finds about the tree itself is listed before them.
    auto& findings = cx.report.findings;
    const auto entries_from = static_cast<std::ptrdiff_t>(findings.size());
    std::optional<EntryCheck> check;
    if (cx.options.index_entries) {
        check.emplace(*this, cx, ri, iname);
    }
    const IndexTree tree =
        walk_index_tree(cx.file, ri.root_page, o, [&](const IndexEntry& e, std::uint32_t) {
            if (check) {
                check->entry(e);
            }
        });
    if (check) {
        check->settle_all();
    }
    const auto tree_from = static_cast<std::ptrdiff_t>(findings.size());
    // A sound tree owns its pages. A damaged one claims none: its pointers
    // may lead anywhere, and the index is rebuilt from the rows into new
    // pages. The usage map mirrors the tree: pages it lists beside the tree
    // are reported below, not claimed.
    if (std::all_of(tree.problems.begin(), tree.problems.end(), index_problem_mendable)) {
        for (const auto p : tree.pages) {
            cx.claim(p, PageRole::index, tp_);
        }
    }
    for (const auto& pr : tree.problems) {
        error(pr.code, pr.page, "In " + iname + ": " + pr.description);
    }
    if (mapped) {
        const auto listed = sorted_unique(*mapped);
        if (!std::equal(listed.begin(), listed.end(), tree.pages.begin(), tree.pages.end())) {
            error("index-map-mismatch", ri.root_page,
                  "The usage map of " + iname + " lists " + std::to_string(mapped->size()) +
                      " page(s), its tree from root page " + std::to_string(ri.root_page) +
                      " has " + std::to_string(tree.pages.size()) + "; they differ.");
        }
    }
    std::rotate(findings.begin() + entries_from, findings.begin() + tree_from, findings.end());
    if (check) {
        check->finish();
    }
    const auto& keys = index_keys_;
    if (ri.ordinal < keys.size() && keys[ri.ordinal].unsupported) {
        cx.report.uncomputable_indexes.emplace(std::pair{tp_, ri.ordinal},
                                               *keys[ri.ordinal].unsupported);
        // Said of an input only: in a compacted copy such keys are the
        // source's, copied, and their order is checked all the same.
        if (cx.options.index_keys && !cx.options.strict) {
            cx.note("index-keys-unchecked", ri.root_page, name_,
                    "The keys of " + iname +
                        " were not compared with its rows: " + *keys[ri.ordinal].unsupported + ".");
        }
    }
}

void TableWalk::check_indexes() {
    if (def_.real_indexes.empty()) {
        return;
    }
    index_live_pages();
    if (!check_indexes_apart()) {
        for (const auto& ri : def_.real_indexes) {
            check_index(cx_, ri);
        }
    }
    std::vector<std::uint32_t>().swap(page_place_);
}

bool TableWalk::check_indexes_apart() {
    const std::size_t indexes = def_.real_indexes.size();
    if (!apart_ || indexes < 2) {
        return false;
    }
    // What the check of one index left, apart from the run's context.
    struct Apart {
        CheckReport report;
        Context::Log log;
        bool checked = false;  // false: it threw, or never ran
    };
    std::vector<Apart> apart(indexes);
    // The largest trees (by the pages their maps list) first, so that the
    // threads end together.
    std::vector<std::size_t> pages(indexes, 0);
    for (std::size_t i = 0; i < indexes; ++i) {
        try {
            pages[i] = read_usage_map(cx_.file, def_.real_indexes[i].map, "").pages.size();
        } catch (const Error&) {
            // Checked all the same: its check says what is wrong.
        }
    }
    std::vector<std::size_t> order(indexes);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return pages[a] > pages[b]; });
    std::atomic<std::size_t> next{0};
    const auto work = [&](const Database& db) {
        for (std::size_t k = next++; k < indexes; k = next++) {
            const std::size_t i = order[k];
            Context cx(db, cx_.options, apart[i].report, &apart[i].log);
            try {
                check_index(cx, def_.real_indexes[i]);
                apart[i].checked = true;
            } catch (...) {
                // Checked again in its turn, where the error is the run's.
            }
        }
    };
    cx_.share_out(std::min<std::size_t>(cx_.options.threads, indexes), work);
    // In the order of the indexes, as one thread would have reported them.
    for (std::size_t i = 0; i < indexes; ++i) {
        Apart& a = apart[i];
        if (a.checked && cx_.replay(a.report, a.log)) {
            cx_.report.indexes += a.report.indexes;
            cx_.report.uncomputable_indexes.merge(a.report.uncomputable_indexes);
        } else {
            check_index(cx_, def_.real_indexes[i]);
        }
        a = Apart{};  // its memory back
    }
    return true;
}

}  // namespace jet::check_detail
