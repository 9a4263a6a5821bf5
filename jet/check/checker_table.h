#pragma once
// The checker's walk through one table: its definition, usage maps, data
// pages and rows, long values and index trees. Internal to the checker: each
// concern has its own source file (checker_definition.cpp, checker_rows.cpp,
// checker_long_values.cpp, checker_indexes.cpp), and checker_table.cpp runs
// them in turn.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "jet/check/checker_context.h"
#include "jet/format/bytes.h"
#include "jet/format/catalog.h"
#include "jet/format/error.h"
#include "jet/format/key_encoder.h"
#include "jet/format/page_file.h"
#include "jet/format/row.h"
#include "jet/format/table_def.h"

namespace jet::check_detail {

inline std::string ptr_text(RowPointer p) {
    return "page " + std::to_string(p.page) + " row " + std::to_string(p.row);
}

// A description for error texts, built the first time it is asked for: the
// walk visits every row, and most rows have nothing to report.
template <typename Make>
class Lazy {
  public:
    explicit Lazy(Make make) : make_(std::move(make)) {}
    const std::string& operator()() {
        if (!made_) {
            text_ = make_();
            made_ = true;
        }
        return text_;
    }

  private:
    Make make_;
    std::string text_;
    bool made_ = false;
};

// The readers take the description of what they read up front, for their
// error texts. `read` runs first with none; only when it throws does it run
// again with the real one, to throw the same error naming its subject.
template <typename Read, typename Describe>
auto described(const Read& read, Describe& describe) -> decltype(read(std::string())) {
    static const std::string unnamed;
    try {
        return read(unnamed);
    } catch (const Error&) {
    }
    return read(describe());
}

// What the index checks need of one indexed column of a row.
enum class CellState : std::uint8_t { absent, null, integer, other };  // absent: did not decode

// Cell states, two bits each; a new cell is absent.
class CellStates {
  public:
    void resize(std::size_t cells) { bytes_.resize((cells + 3) / 4); }
    void reserve(std::size_t cells) { bytes_.reserve((cells + 3) / 4); }
    CellState get(std::size_t i) const {
        return static_cast<CellState>((bytes_[i / 4] >> shift(i)) & 3u);
    }
    void set(std::size_t i, CellState s) {
        std::uint8_t& b = bytes_[i / 4];
        b = static_cast<std::uint8_t>((b & ~(3u << shift(i))) |
                                      (static_cast<unsigned>(s) << shift(i)));
    }
    void swap(CellStates& other) noexcept { bytes_.swap(other.bytes_); }
    // Puts the first `cells` of `other` from cell `at` on (this is resized
    // to hold them).
    void put(std::size_t at, const CellStates& other, std::size_t cells) {
        resize(at + cells);
        for (std::size_t i = 0; i < cells; ++i) {
            set(at + i, other.get(i));
        }
    }

  private:
    static unsigned shift(std::size_t i) { return static_cast<unsigned>(i % 4) * 2; }
    std::vector<std::uint8_t> bytes_;
};

// A row's key is kept as a 32-bit hash (0 = not computed), so that a table
// of millions of rows costs a few bytes per row and index; an entry whose key
// hashes differently cannot be the row's. The key is taken eight bytes at a
// step (the last step zero-padded, the length mixed in first): it is hashed
// for every row and every entry of every index.
inline std::uint32_t key_hash(Bytes key) {
    constexpr std::uint64_t kMul = 0xFF51AFD7ED558CCDull;
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ key.size();
    std::size_t i = 0;
    for (; i + 8 <= key.size(); i += 8) {
        std::uint64_t v = 0;
        std::memcpy(&v, key.data() + i, 8);
        h = (h ^ v) * kMul;
        h ^= h >> 32;
    }
    if (i < key.size()) {
        std::uint64_t v = 0;
        std::memcpy(&v, key.data() + i, key.size() - i);
        h = (h ^ v) * kMul;
        h ^= h >> 32;
    }
    h = (h ^ (h >> 29)) * 0xC4CEB9FE1A85EC53ull;
    const auto r = static_cast<std::uint32_t>(h ^ (h >> 32));
    return r == 0 ? 1 : r;
}

// The hash a row's key is compared by: a key longer than kCutKeyBytes by
// its first kCutKeyPrefix bytes, which is all of it that the writers that
// cut such a key short keep (key_encoder.h); both forms are the row's.
inline std::uint32_t long_key_hash(Bytes key) {
    return key_hash(key.size() > kCutKeyBytes ? key.first(kCutKeyPrefix) : key);
}

class TableWalk {
  public:
    TableWalk(Context& cx, std::uint32_t page, std::string name)
        : cx_(cx), tp_(page), name_(std::move(name)) {}
    // A walk of the table `setup` walks, over the context `cx`, ready for its
    // rows: the definition, pages and what the rows' checks use are copied,
    // no row is.
    TableWalk(Context& cx, const TableWalk& setup)
        : cx_(cx),
          tp_(setup.tp_),
          name_(setup.name_),
          def_(setup.def_),
          owned_(setup.owned_),
          wanted_(setup.wanted_),
          column_slot_(setup.column_slot_),
          index_keys_(setup.index_keys_),
          cells_(setup.cells_.size()),
          cell_ok_(setup.cell_ok_.size()) {}

    void run();

  private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // One column of an index, resolved against the table.
    struct KeyColumn {
        const Column* column = nullptr;  // nullptr when the table has no such column
        std::size_t slot = kNone;        // among wanted_
        bool boolean = false;
        bool ascending = true;
    };

    std::string label() const { return Context::table_label(name_); }
    void error(const std::string& code, std::uint32_t page, const std::string& text) {
        cx_.error(code, page, name_, text);
    }
    // An error that concerns real index `ordinal` alone, reported into `cx`.
    void index_error(Context& cx, std::uint32_t ordinal, const std::string& code,
                     std::uint32_t page, const std::string& text) const {
        cx.error(code, page, name_, text, std::make_pair(tp_, ordinal));
    }
    void note(const std::string& code, std::uint32_t page, const std::string& text) {
        cx_.note(code, page, name_, text);
    }
    // Damage that loses data; a salvage gives up what `kind` names.
    void lossy(const std::string& code, std::uint32_t page, const std::string& text,
               Loss::Kind kind, RowPointer at = {}, std::uint16_t column = 0) {
        cx_.lossy(code, page, name_, text, Loss{kind, tp_, at.page, at.row, column});
    }
    // The catalog itself cannot be given up.
    void table_lost(const std::string& code, std::uint32_t page, const std::string& text) {
        if (tp_ == kCatalogPage) {
            error(code, page, text);
            return;
        }
        lossy(code, page, text, Loss::Kind::table);
    }
    void lv_lost(const std::string& code, std::uint32_t page, const std::string& text,
                 const Column& c, RowPointer row) {
        lossy(code, page, text, Loss::Kind::long_value, row, c.number);
    }

    // ------------------------------------------------------------ definition
    // (checker_definition.cpp)

    bool read_definition();
    void check_definition();

    // ------------------------------------------------------------ maps
    // (checker_rows.cpp)

    // What a usage map is to the table: its list of pages of rows, or one
    // that only mirrors what the walk reads on its own (an index's tree, the
    // pages its long values use, pages with free space).
    enum class MapUse : std::uint8_t { rows, index, long_values, free_space };
    std::optional<std::vector<std::uint32_t>> read_map(RowPointer at, const std::string& what,
                                                       MapUse use);
    // The same, reading and claiming in `cx` and saying what is wrong through
    // `fail` (`whole`: the map cannot be read at all).
    using MapFailure = std::function<void(const std::string& code, std::uint32_t page,
                                          const std::string& text, bool whole)>;
    std::optional<std::vector<std::uint32_t>> read_map(Context& cx, RowPointer at,
                                                       const std::string& what, MapUse use,
                                                       const MapFailure& fail) const;

    // ------------------------------------------------------------ rows
    // (checker_rows.cpp, but for the readers of the row arrays below)

    void walk_maps_and_rows();
    // The pages of owned_ from `begin` to `end`, in order.
    void walk_pages(std::size_t begin, std::size_t end);
    // The same for every page of owned_, in ranges walked on the check's
    // threads (see CheckOptions::split_pages); false when the table is not
    // split (then nothing was walked).
    bool walk_pages_apart();
    // What the walk of a range of pages left, apart from the run's context.
    struct RangeWalk;
    void walk_range_apart(std::size_t begin, std::size_t end, RangeWalk& out) const;
    // Puts a range's walk after the rows walked so far; false (nothing put)
    // when it must be walked again here: it found something, or used a
    // long-value row used before.
    bool take_range(RangeWalk& range);
    void walk_data_page(std::uint32_t n, const PageBuf* read);
    // Whether a page the owned-pages map lists holds something else than
    // this table's rows (a page of zeros is the table's, emptied).
    bool foreign_page(const PageBuf& page) const;
    bool follow_overflow(RowPointer header, Bytes data, std::vector<std::uint8_t>& out);
    void check_row(RowPointer at, Bytes data, std::size_t row);
    // Runs for every row: inlined into check_row, its one caller.
    [[gnu::always_inline]] inline void compute_keys(std::size_t row);
    void sort_page_rows(std::size_t from);

    static std::vector<std::uint32_t> sorted_unique(std::vector<std::uint32_t> pages) {
        std::sort(pages.begin(), pages.end());
        pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
        return pages;
    }
    static bool contains(const std::vector<std::uint32_t>& sorted, std::uint32_t page) {
        return std::binary_search(sorted.begin(), sorted.end(), page);
    }

    std::size_t live_count() const { return row_numbers_.size(); }

    // Where a live row sits: its page's place in owned_ and its own place
    // among the live rows (kNone for both when it is no live row).
    struct Place {
        std::size_t page = kNone;
        std::size_t row = kNone;
    };

    // Finds a row among the live ones. An index often lists rows in the order
    // they were stored, so the place after `after` (the previous entry's) is
    // tried first.
    // It runs for every entry: inlined into EntryCheck::entry.
    [[gnu::always_inline]] Place find_live(RowPointer r, Place after) const {
        if (after.row != kNone) {
            const std::size_t n = after.row + 1;
            std::size_t p = after.page;
            // The next row may start a later page; a few pages without live
            // rows are stepped over.
            for (int step = 0; step < 4 && p + 1 < row_first_.size() && row_first_[p + 1] <= n;
                 ++step) {
                ++p;
            }
            if (p + 1 < row_first_.size() && n < row_first_[p + 1] && owned_[p] == r.page &&
                row_numbers_[n] == r.row) {
                return {p, n};
            }
        }
        // Else the page's place from the directory, its rows searched.
        if (r.page < page_base_ || r.page - page_base_ >= page_place_.size() ||
            page_place_[r.page - page_base_] == 0) {
            return {};
        }
        const std::size_t p = page_place_[r.page - page_base_] - 1;
        const auto begin = row_numbers_.begin() + row_first_[p];
        const auto end = row_numbers_.begin() + row_first_[p + 1];
        const auto at = std::lower_bound(begin, end, r.row);
        if (at == end || *at != r.row) {
            return {};
        }
        return {p, static_cast<std::size_t>(at - row_numbers_.begin())};
    }

    // Fills page_place_ for find_live (while the indexes are checked).
    void index_live_pages();

    std::size_t wanted_slot(std::uint16_t number) const {
        const auto it = std::lower_bound(wanted_.begin(), wanted_.end(), number);
        return it != wanted_.end() && *it == number ? static_cast<std::size_t>(it - wanted_.begin())
                                                    : kNone;
    }

    // Whether the live row at `at` (its place among the live rows, or kNone) has any
    // indexed column that decoded.
    bool any_decoded(std::size_t at) const {
        const std::size_t k = wanted_.size();
        if (at == kNone) {
            return false;
        }
        for (std::size_t j = 0; j < k; ++j) {
            if (states_.get(at * k + j) != CellState::absent) {
                return true;
            }
        }
        return false;
    }

    // Whether the rows' keys are computed and kept: only for a check that
    // compares them with the entries it walks (millions of rows cost four
    // bytes a row and index).
    bool keys_compared() const { return cx_.options.index_keys && cx_.options.index_entries; }

    CellState cell_state(std::size_t at, const KeyColumn& kc) const {
        return states_.get(at * wanted_.size() + kc.slot);
    }
    // The row's key counted the other way, where that gives another key (0
    // otherwise).
    std::uint32_t row_alt_key_hash(std::size_t at, std::size_t index) const {
        const std::size_t i = at * index_keys_.size() + index;
        return i < alt_key_hashes_.size() ? alt_key_hashes_[i] : 0;
    }

    // ------------------------------------------------------------ long values
    // (checker_long_values.cpp)

    const std::vector<std::uint32_t>& lv_pages(const Column& c);
    template <typename Who>
    bool lval_row(const Column& c, RowPointer at, RowPointer p, std::vector<std::uint8_t>& out,
                  Who& who);
    void check_long_value(const Column& c, RowPointer at, const RowLayout& layout, Bytes data);
    void check_long_value_maps();

    // ------------------------------------------------------------ indexes
    // (checker_indexes.cpp)

    std::vector<KeyColumn> key_columns(const RealIndex& ri) const;
    bool all_null(const std::vector<KeyColumn>& key, std::size_t at) const;
    bool any_null(const std::vector<KeyColumn>& key, std::size_t at) const;
    void check_indexes();
    // The same with the indexes checked side by side on the check's threads
    // when the table's pages were (see walk_pages_apart); false when they
    // are not (then nothing was checked).
    bool check_indexes_apart();
    // One index's check, reporting into `cx`: the walk's own context, or one
    // of a thread of its own (nothing of the walk is changed).
    void check_index(Context& cx, const RealIndex& ri) const;
    class EntryCheck;

    // ------------------------------------------------------------ counts
    // (checker_table.cpp)

    void check_counts();
    // True when every autonumber column of the table takes random values:
    // its counter numbers none of them, and may stand below their values.
    bool counter_unused() const;

    Context& cx_;
    std::uint32_t tp_;
    std::string name_;
    TableDef def_;
    std::vector<std::uint32_t> owned_;  // ascending
    // The live rows, in page order: for each page of owned_ the place of its
    // first row (and one more entry, the number of live rows), and for each
    // row its number on its page, ascending within the page. Beside each row,
    // the states of its wanted_ columns (wanted_.size() cells per row).
    std::vector<std::uint32_t> row_first_;
    std::vector<std::uint8_t> row_numbers_;
    // For find_live: per page from page_base_ on, its place in owned_ plus
    // one (0: not owned). Four bytes a page of the table's span, kept only
    // while the indexes are checked: a binary search of owned_ per entry
    // costs a cache miss a step on an index not in row order.
    std::vector<std::uint32_t> page_place_;
    std::uint32_t page_base_ = 0;
    std::vector<std::uint16_t> wanted_;     // columns some index is built on, ascending
    std::vector<std::size_t> column_slot_;  // per column of def_: its place in wanted_, or kNone
    CellStates states_;
    // Per live row, the key hash of each real index (index_keys_.size() a row;
    // empty unless keys_compared()).
    std::vector<std::uint32_t> key_hashes_;
    // Beside it, from the first row whose key a ligature makes ambiguous on:
    // the key counted per character (0 where it is the same).
    std::vector<std::uint32_t> alt_key_hashes_;
    // How each real index's keys are computed, and what is reused per row.
    struct IndexKeys {
        std::vector<KeyField> fields;
        std::vector<std::size_t> slots;  // per index column, its place in wanted_
        std::optional<std::string> unsupported;
    };
    std::vector<IndexKeys> index_keys_;
    std::vector<Value> cells_;  // the wanted_ columns of the row being checked
    std::vector<bool> cell_ok_;
    std::vector<const Value*> key_values_;
    std::vector<std::uint8_t> key_bytes_;
    std::map<std::uint16_t, std::vector<std::uint32_t>> lv_owned_;  // pages, ascending
    // The LVAL pages the table's values use: as met (a page repeated at
    // once is put once), sorted once the rows are walked.
    std::vector<std::uint32_t> lv_used_;
    std::optional<std::int64_t> max_autonumber_;
    // The table's pages were walked in ranges on the check's threads.
    bool apart_ = false;
    std::set<std::uint32_t> zeroed_;
    // The owned-pages map could not be read: the table's pages are those its
    // indexes led an earlier pass to.
    bool map_rebuilt_ = false;  // listed pages that hold only zeros
};

}  // namespace jet::check_detail
