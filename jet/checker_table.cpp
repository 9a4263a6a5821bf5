// The checker's walk through one table: its definition, usage maps, data
// pages and rows, long values and index trees.
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <set>

#include "jet/checker_context.h"
#include "jet/data_page.h"
#include "jet/database.h"
#include "jet/error.h"
#include "jet/index_key.h"
#include "jet/index_tree.h"
#include "jet/key_encoder.h"
#include "jet/long_value.h"
#include "jet/row.h"
#include "jet/usage_map.h"

namespace jet::check_detail {

namespace {

constexpr std::size_t kMaxRowsPerPage = 255;
constexpr std::uint8_t kColumnFlagAutoLongMask = kColumnFlagAutoLong;

std::string ptr_text(RowPointer p) {
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

  private:
    static unsigned shift(std::size_t i) { return static_cast<unsigned>(i % 4) * 2; }
    std::vector<std::uint8_t> bytes_;
};

// Types whose values decode without allocating; the others (text, binary)
// are only located, which finds every fault decoding them would.
bool decodes_cheaply(ColumnType t) {
    switch (t) {
        case ColumnType::boolean:
        case ColumnType::byte:
        case ColumnType::integer:
        case ColumnType::long_integer:
        case ColumnType::money:
        case ColumnType::single:
        case ColumnType::double_:
        case ColumnType::datetime:
        case ColumnType::guid:
        case ColumnType::numeric:
            return true;
        default:
            return false;
    }
}

// A row's key is kept as a 32-bit hash (0 = not computed), so that a table
// of millions of rows costs a few bytes per row and index; an entry whose key
// hashes differently cannot be the row's.
std::uint32_t key_hash(Bytes key) {
    std::uint32_t h = 2166136261u;
    for (const auto b : key) {
        h = (h ^ b) * 16777619u;
    }
    return h == 0 ? 1 : h;
}

class TableWalk {
  public:
    TableWalk(Context& cx, std::uint32_t page, std::string name)
        : cx_(cx), tp_(page), name_(std::move(name)) {}

    void run() {
        if (!read_definition()) {
            return;
        }
        check_definition();
        walk_maps_and_rows();
        check_long_value_maps();
        check_indexes();
        check_counts();
        ++cx_.report.tables;
    }

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
        if (index_scope_) {
            cx_.error(code, page, name_, text, std::make_pair(tp_, *index_scope_));
            return;
        }
        cx_.error(code, page, name_, text);
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

    bool read_definition() {
        const PageFile& f = cx_.file;
        if (tp_ == 0 || tp_ >= f.page_count() || f.read(tp_)[0] != kPageTypeTableDef) {
            const std::string what = tp_ >= f.page_count()
                                         ? "lies past the end of the file"
                                         : "holds no table definition (page type " +
                                               std::to_string(tp_ == 0 ? 0 : f.read(tp_)[0]) + ")";
            if (tp_ == 2) {
                error("catalog-page2", tp_, "Page 2 " + what + "; it must define MSysObjects.");
            } else {
                note("stale-id", tp_,
                     "The catalog lists " + label() + " with Id " + std::to_string(tp_) +
                         ", but that page " + what +
                         "; the row is left over from a table that "
                         "no longer exists.");
            }
            return false;
        }
        try {
            def_ = read_table_def(f, tp_);
        } catch (const Error& e) {
            cx_.claim(tp_, PageRole::table_def, tp_);
            table_lost("tdef-undecodable", tp_,
                       "The definition of " + label() + " does not decode: " + e.what());
            return false;
        }
        def_.name_hint = name_;
        for (const auto p : def_.pages) {
            cx_.claim(p, PageRole::table_def, tp_);
        }
        cx_.tables[tp_] = CheckedTable{name_, def_};
        return true;
    }

    void check_definition() {
        if (def_.magic != kTableDefMagic) {
            table_lost("tdef-magic", tp_,
                       "The definition of " + label() + " carries " + std::to_string(def_.magic) +
                           " at offset 12 where every table definition has 1625.");
        }
        if (def_.declared_length != def_.end_offset) {
            table_lost("tdef-length", tp_,
                       "The definition of " + label() + " states a length of " +
                           std::to_string(def_.declared_length) + " bytes but ends after " +
                           std::to_string(def_.end_offset) + ".");
        }
        // Free space per page: 4096 - used - 8, at least 0.
        std::size_t remaining = def_.declared_length;
        for (std::size_t k = 0; k < def_.pages.size(); ++k) {
            const std::size_t capacity = k == 0 ? kPageSize : kPageSize - 8;
            const std::size_t here = std::min(remaining, capacity);
            remaining -= here;
            const std::size_t used = k == 0 ? here : here + 8;
            const std::size_t want = used + 8 >= kPageSize ? 0 : kPageSize - used - 8;
            const std::uint16_t stored = le16(cx_.file.read(def_.pages[k]), 2);
            if (stored != want) {
                error("tdef-free-space", def_.pages[k],
                      "The definition of " + label() + " (part " + std::to_string(k + 1) + " of " +
                          std::to_string(def_.pages.size()) + ", page " +
                          std::to_string(def_.pages[k]) + ") states " + std::to_string(stored) +
                          " free bytes; its contents leave " + std::to_string(want) + ".");
            }
        }
        std::set<std::uint16_t> numbers, var_indexes;
        for (const auto& c : def_.columns) {
            if (!numbers.insert(c.number).second || c.number >= def_.max_columns) {
                table_lost("tdef-columns", tp_,
                           "Column \"" + c.name + "\" of " + label() + " has number " +
                               std::to_string(c.number) +
                               ", which is used twice or not below the "
                               "table's column counter (" +
                               std::to_string(def_.max_columns) + ").");
            }
            if (!c.is_fixed() && !var_indexes.insert(c.var_index).second) {
                table_lost("tdef-columns", tp_,
                           "Column \"" + c.name + "\" of " + label() + " shares variable slot " +
                               std::to_string(c.var_index) + " with another column.");
            }
            if (c.is_long_value() && def_.long_value_maps_for(c.number) == nullptr) {
                table_lost("tdef-lv-maps", tp_,
                           "The memo/OLE column \"" + c.name + "\" of " + label() +
                               " has no usage maps for its long values.");
            }
        }
        for (const auto& ri : def_.real_indexes) {
            for (const auto& ic : ri.columns) {
                if (def_.column_by_number(ic.number) == nullptr) {
                    table_lost("tdef-index-column", tp_,
                               "Index " + std::to_string(ri.ordinal) + " of " + label() +
                                   " is built on column number " + std::to_string(ic.number) +
                                   ", which the table does not have.");
                }
            }
        }
        for (const auto& li : def_.logical_indexes) {
            if (li.real_index >= def_.real_indexes.size()) {
                table_lost("tdef-logical-index", tp_,
                           "Index \"" + li.name + "\" of " + label() + " uses real index " +
                               std::to_string(li.real_index) + ", but the table has only " +
                               std::to_string(def_.real_indexes.size()) + ".");
            }
        }
    }

    // ------------------------------------------------------------ maps

    // Reads a usage map and claims its holder and bitmap pages. Returns the
    // pages inside the file; nothing when the map is absent or unreadable.
    // `derived`: the map only mirrors a structure the walk reads on its own
    // (an index's tree), and every compaction writes it afresh: what is
    // wrong with it is reported as the mismatch it is.
    std::optional<std::vector<std::uint32_t>> read_map(RowPointer at, const std::string& what,
                                                       bool derived = false, bool rows = false) {
        const auto code = [derived](const char* c) {
            return std::string(derived ? "index-map-mismatch" : c);
        };
        // `rows`: the map is the table's list of pages; what keeps it from
        // being read loses the table.
        const auto error = [&](const std::string& c, std::uint32_t page, const std::string& text) {
            if (rows) {
                table_lost(c, page, text);
            } else {
                this->error(c, page, text);
            }
        };
        if (at.page == 0 && at.row == 0) {
            return std::nullopt;
        }
        const PageFile& f = cx_.file;
        if (at.page >= f.page_count() || at.page < 1) {
            error(code("dangling-pointer"), tp_,
                  "The " + what + " of " + label() + " is said to be at " + ptr_text(at) +
                      ", outside the file.");
            return std::nullopt;
        }
        try {
            const DataPage holder = read_data_page(f, at.page);
            if (at.row >= holder.slot_count() || holder.slot(at.row).deleted()) {
                error(code("map-row-missing"), at.page,
                      "The " + what + " of " + label() + " is said to be at " + ptr_text(at) +
                          ", but that row is " +
                          (at.row >= holder.slot_count() ? "not there." : "deleted."));
                return std::nullopt;
            }
        } catch (const Error& e) {
            error(code("map-undecodable"), at.page,
                  "The " + what + " of " + label() + " cannot be read: " + e.what());
            return std::nullopt;
        }
        cx_.claim(at.page, PageRole::map_holder, tp_);
        UsageMap m;
        try {
            m = read_usage_map(f, at, what + " of " + label());
        } catch (const Error& e) {
            error(code("map-undecodable"), at.page,
                  "The " + what + " of " + label() + " cannot be read: " + e.what());
            return std::nullopt;
        }
        // Access starts an inline map at a multiple of 8 and so does the
        // compactor; other writers start it at any page, which reads the same.
        if (cx_.options.strict && m.kind == UsageMap::Kind::inline_map && m.start_page % 8 != 0) {
            error("map-bad-start", at.page,
                  "The " + what + " of " + label() + " starts at page " +
                      std::to_string(m.start_page) + ", not a multiple of 8.");
        }
        for (const auto b : m.bitmap_pages) {
            if (b != 0 && b < 0x80000000u) {
                cx_.claim(b, PageRole::usage_bitmap, tp_);
            }
        }
        std::vector<std::uint32_t> inside;
        for (const auto p : m.pages) {
            if (p < f.page_count() && p != 0) {
                inside.push_back(p);
            } else {
                error(code("dangling-pointer"), at.page,
                      "The " + what + " of " + label() + " lists page " + std::to_string(p) +
                          ", which is not inside the file.");
            }
        }
        return inside;
    }

    // ------------------------------------------------------------ rows

    void walk_maps_and_rows() {
        for (const auto& ri : def_.real_indexes) {
            for (const auto& ic : ri.columns) {
                wanted_.push_back(ic.number);
            }
        }
        std::sort(wanted_.begin(), wanted_.end());
        wanted_.erase(std::unique(wanted_.begin(), wanted_.end()), wanted_.end());
        for (const auto& c : def_.columns) {
            column_slot_.push_back(wanted_slot(c.number));
        }
        cells_.resize(wanted_.size());
        cell_ok_.resize(wanted_.size());
        for (const auto& ri : def_.real_indexes) {
            IndexKeys& k = index_keys_.emplace_back();
            for (const auto& ic : ri.columns) {
                const Column* c = def_.column_by_number(ic.number);
                if (c == nullptr) {
                    k.unsupported = "it names column " + std::to_string(ic.number) +
                                    ", which the table does not have";
                    break;
                }
                k.fields.push_back(key_field(*c, ic, cx_.db.header().is_ace()));
                k.slots.push_back(wanted_slot(ic.number));
                if (!k.unsupported) {
                    k.unsupported = key_unsupported(k.fields.back());
                }
            }
        }
        auto owned = read_map(def_.owned_map, "owned-pages map", false, true);
        if (!owned) {
            if (!(def_.owned_map.page == 0 && def_.owned_map.row == 0)) {
                return;  // reported
            }
            table_lost("map-row-missing", tp_, label() + " has no owned-pages map.");
            return;
        }
        owned_ = sorted_unique(std::move(*owned));  // as a map lists them already
        if (const auto fm = read_map(def_.free_map, "free-space map")) {
            for (const auto p : *fm) {
                if (!contains(owned_, p)) {
                    error("free-map-not-owned", p,
                          "The free-space map of " + label() + " lists page " + std::to_string(p) +
                              ", which the table does not own.");
                }
            }
        }
        // The stored row count sizes the row arrays when it is plausible; a
        // stale one only costs the arrays' growth.
        const std::size_t expected =
            std::min<std::size_t>(def_.row_count, owned_.size() * kMaxRowsPerPage);
        row_numbers_.reserve(expected);
        states_.reserve(expected * wanted_.size());
        key_hashes_.reserve(expected * index_keys_.size());
        row_first_.reserve(owned_.size() + 1);
        // Owned pages mostly lie in runs of neighbours: read a run at once.
        constexpr std::size_t kRun = 16;
        std::vector<PageBuf> run(kRun);
        std::size_t run_first = 0;
        std::size_t run_size = 0;
        const std::uint32_t pages = cx_.file.page_count();
        for (std::size_t at = 0; at < owned_.size(); ++at) {
            const std::uint32_t p = owned_[at];
            row_first_.push_back(static_cast<std::uint32_t>(live_count()));
            cx_.claim(p, PageRole::table_data, tp_);
            if (p < pages && at >= run_first + run_size) {
                run_first = at;
                run_size = 1;
                while (run_size < kRun && at + run_size < owned_.size() &&
                       owned_[at + run_size] == p + run_size && p + run_size < pages) {
                    ++run_size;
                }
                cx_.file.read_run(p, static_cast<std::uint32_t>(run_size), run.data());
            }
            walk_data_page(p, p < pages ? &run[at - run_first] : nullptr);
            sort_page_rows(row_first_.back());
        }
        row_first_.push_back(static_cast<std::uint32_t>(live_count()));
    }

    // `read` is the page when it was read already.
    void walk_data_page(std::uint32_t n, const PageBuf* read) {
        const PageBuf buf = read != nullptr ? *read : cx_.file.read(n);
        if (page_is_blank(buf)) {
            // No rows are there to lose but those an index still lists:
            // entries pointing into the page say so (index-lost-row).
            zeroed_.insert(n);
            const bool unwitnessed = def_.real_indexes.empty() && def_.row_count != 0;
            const std::string text =
                "Page " + std::to_string(n) + ", listed among the pages of " + label() +
                ", holds only zeros." +
                (unwitnessed ? " The table has no index to tell whether rows were lost with it."
                             : "");
            if (unwitnessed) {
                lossy("data-page-zeroed-unwitnessed", n, text, Loss::Kind::page, RowPointer{n, 0});
            } else {
                error("data-page-zeroed", n, text);
            }
            return;
        }
        if (buf[0] != kPageTypeData || le32(buf, 4) != tp_) {
            error("map-page-foreign", n,
                  "The owned-pages map of " + label() + " lists page " + std::to_string(n) +
                      ", but that page is " +
                      (buf[0] != kPageTypeData
                           ? "no data page (type " + std::to_string(buf[0]) + ")"
                           : "a data page of the table at page " + std::to_string(le32(buf, 4))) +
                      "; its rows are not this table's.");
            return;
        }
        std::optional<DataPage> page;
        try {
            page.emplace(buf, n, cx_.file.where(n));
        } catch (const Error& e) {
            lossy("data-page-undecodable", n, e.what(), Loss::Kind::page, RowPointer{n, 0});
            return;
        }
        if (page->stored_free_space() != page->computed_free_space()) {
            error("data-free-space", n,
                  "Data page " + std::to_string(n) + " of " + label() + " states " +
                      std::to_string(page->stored_free_space()) + " free bytes; its rows leave " +
                      std::to_string(page->computed_free_space()) +
                      ". Jet could write a new row over an existing one.");
        }
        if (page->slot_count() > kMaxRowsPerPage) {
            error("too-many-rows", n,
                  "Data page " + std::to_string(n) + " of " + label() + " has " +
                      std::to_string(page->slot_count()) +
                      " row slots; at most 255 can be "
                      "addressed.");
        }
        std::vector<std::uint8_t> moved;
        for (std::size_t i = 0; i < page->slot_count(); ++i) {
            const RowSlot& s = page->slots()[i];
            if (cx_.options.packed && (s.deleted() || s.overflow())) {
                error("row-flags", n,
                      "Row " + std::to_string(i) + " of data page " + std::to_string(n) + " of " +
                          label() + " is marked deleted or moved in a compacted file.");
            }
            if (s.deleted()) {
                continue;
            }
            const RowPointer header{n, static_cast<std::uint8_t>(i)};
            Bytes data = page->row(i);
            if (s.overflow()) {
                if (!follow_overflow(header, data, moved)) {
                    continue;
                }
                data = moved;
            }
            row_numbers_.push_back(header.row);
            states_.resize(live_count() * wanted_.size());
            key_hashes_.resize(live_count() * index_keys_.size());
            if (!alt_key_hashes_.empty()) {
                alt_key_hashes_.resize(key_hashes_.size());
            }
            check_row(header, data, live_count() - 1);
        }
    }

    bool follow_overflow(RowPointer header, Bytes data, std::vector<std::uint8_t>& out) {
        if (data.size() < 4) {
            lossy("overflow-bad-target", header.page,
                  "The moved row at " + ptr_text(header) + " of " + label() +
                      " is too short to say where its data went.",
                  Loss::Kind::row, header);
            return false;
        }
        const RowPointer target{le24(data, 1), data[0]};
        if (!contains(owned_, target.page)) {
            lossy("overflow-bad-target", header.page,
                  "The moved row at " + ptr_text(header) + " of " + label() + " points to " +
                      ptr_text(target) + ", a page the table does not own.",
                  Loss::Kind::row, header);
            return false;
        }
        try {
            const DataPage tp = read_data_page(cx_.file, target.page);
            const RowSlot& ts = tp.slot(target.row);
            if ((ts.raw & (kSlotDeleted | kSlotOverflow)) != kSlotDeleted) {
                lossy("overflow-bad-target", header.page,
                      "The moved row at " + ptr_text(header) + " of " + label() + " points to " +
                          ptr_text(target) + ", which is not marked as a moved row's data.",
                      Loss::Kind::row, header);
                return false;
            }
            const Bytes r = tp.row(target.row);
            out.assign(r.begin(), r.end());
            return true;
        } catch (const Error& e) {
            lossy("overflow-bad-target", header.page,
                  "The moved row at " + ptr_text(header) + " of " + label() +
                      " points to data that cannot be read: " + e.what(),
                  Loss::Kind::row, header);
            return false;
        }
    }

    // Decodes every column of the live row `row` (at `at`) and keeps what the
    // index checks need of its indexed columns.
    void check_row(RowPointer at, Bytes data, std::size_t row) {
        Lazy what([&] { return "row at " + ptr_text(at) + " of " + label(); });
        RowLayout layout;
        try {
            layout = described(
                [&](const std::string& w) { return parse_row_layout(def_, data, w); }, what);
        } catch (const Error& e) {
            lossy("row-undecodable", at.page, e.what(), Loss::Kind::row, at);
            return;
        }
        std::fill(cell_ok_.begin(), cell_ok_.end(), false);
        for (std::size_t n = 0; n < def_.columns.size(); ++n) {
            const Column& c = def_.columns[n];
            const std::size_t slot = column_slot_[n];
            if (c.is_long_value()) {
                check_long_value(c, at, layout, data);
                if (slot != kNone && cx_.options.index_keys) {
                    // An indexed memo: its value makes the key. What is wrong
                    // with it was reported above.
                    try {
                        cells_[slot] = decode_column(cx_.file, c, layout, data, what());
                        cell_ok_[slot] = true;
                        states_.set(row * wanted_.size() + slot,
                                    is_null(cells_[slot]) ? CellState::null : CellState::other);
                    } catch (const Error&) {
                    }
                }
                continue;
            }
            CellState state = CellState::other;
            std::int64_t integer = 0;
            try {
                if (slot != kNone && cx_.options.index_keys) {
                    cells_[slot] = described(
                        [&](const std::string& w) {
                            return decode_column(cx_.file, c, layout, data, w);
                        },
                        what);
                    cell_ok_[slot] = true;
                    const Value& v = cells_[slot];
                    if (is_null(v)) {
                        state = CellState::null;
                    } else if (const auto* i = std::get_if<std::int64_t>(&v)) {
                        state = CellState::integer;
                        integer = *i;
                    }
                } else if (decodes_cheaply(c.column_type())) {
                    const Value v = described(
                        [&](const std::string& w) {
                            return decode_column(cx_.file, c, layout, data, w);
                        },
                        what);
                    if (is_null(v)) {
                        state = CellState::null;
                    } else if (const auto* i = std::get_if<std::int64_t>(&v)) {
                        state = CellState::integer;
                        integer = *i;
                    }
                } else if (!described(
                               [&](const std::string& w) {
                                   return locate_column(c, layout, data, w);
                               },
                               what)) {
                    state = CellState::null;
                }
            } catch (const Error& e) {
                lossy(
                    "row-undecodable", at.page,
                    "Column \"" + c.name + "\" of the " + what() + " does not decode: " + e.what(),
                    Loss::Kind::row, at);
                continue;
            }
            // A complex column's values come from a counter of their own
            // (at 28 of the definition), not from the autonumber.
            if ((c.flags & kColumnFlagAutoLongMask) != 0 && state == CellState::integer &&
                c.column_type() != ColumnType::complex) {
                max_autonumber_ = std::max(max_autonumber_.value_or(integer), integer);
            }
            if (slot != kNone) {
                states_.set(row * wanted_.size() + slot, state);
            }
        }
        if (cx_.options.index_keys) {
            compute_keys(row);
        }
    }

    // The key hash of the live row `row` in every index whose keys can be
    // computed and whose columns all decoded.
    void compute_keys(std::size_t row) {
        for (std::size_t i = 0; i < index_keys_.size(); ++i) {
            const IndexKeys& k = index_keys_[i];
            if (k.unsupported) {
                continue;
            }
            key_values_.clear();
            for (const auto slot : k.slots) {
                if (!cell_ok_[slot]) {
                    break;
                }
                key_values_.push_back(&cells_[slot]);
            }
            key_bytes_.clear();
            bool ligature = false;
            if (key_values_.size() != k.slots.size() ||
                encode_index_key(k.fields, key_values_, key_bytes_, TextPositions::per_element,
                                 &ligature)) {
                continue;
            }
            const std::size_t at = row * index_keys_.size() + i;
            key_hashes_[at] = key_hash(key_bytes_);
            if (!ligature) {
                continue;
            }
            // Writers of Jet 4 files count a ligature's positions two ways:
            // either key is the row's.
            key_bytes_.clear();
            if (!encode_index_key(k.fields, key_values_, key_bytes_,
                                  TextPositions::per_character)) {
                const std::uint32_t other = key_hash(key_bytes_);
                if (other != key_hashes_[at]) {
                    alt_key_hashes_.resize(key_hashes_.size());
                    alt_key_hashes_[at] = other;
                }
            }
        }
    }

    // The rows of a page are met in slot order, so their numbers ascend, unless
    // the page has more slots than row numbers can tell apart. Then the rows
    // from `from` on (the page's) are sorted here with their cells, a row met
    // twice keeping every column either sighting decoded (the later one
    // winning).
    void sort_page_rows(std::size_t from) {
        const auto first = row_numbers_.begin() + static_cast<std::ptrdiff_t>(from);
        if (std::adjacent_find(first, row_numbers_.end(), std::greater_equal<>()) ==
            row_numbers_.end()) {
            return;
        }
        const std::size_t k = wanted_.size();
        const std::size_t m = index_keys_.size();
        std::vector<std::size_t> order(live_count() - from);
        std::iota(order.begin(), order.end(), from);
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return row_numbers_[a] < row_numbers_[b];
        });
        std::vector<std::uint8_t> numbers;
        CellStates states;
        std::vector<std::uint32_t> hashes;
        std::vector<std::uint32_t> alt;
        for (const std::size_t i : order) {
            const bool again = !numbers.empty() && numbers.back() == row_numbers_[i];
            if (!again) {
                numbers.push_back(row_numbers_[i]);
                states.resize(numbers.size() * k);
                hashes.resize(numbers.size() * m);
            }
            const std::size_t to = numbers.size() - 1;
            for (std::size_t j = 0; j < k; ++j) {
                const CellState s = states_.get(i * k + j);
                if (again && s == CellState::absent) {
                    continue;
                }
                states.set(to * k + j, s);
            }
            for (std::size_t j = 0; j < m; ++j) {
                if (!again || key_hashes_[i * m + j] != 0) {
                    hashes[to * m + j] = key_hashes_[i * m + j];
                    if (!alt_key_hashes_.empty()) {
                        alt.resize(hashes.size());
                        alt[to * m + j] = alt_key_hashes_[i * m + j];
                    }
                }
            }
        }
        row_numbers_.resize(from);
        row_numbers_.insert(row_numbers_.end(), numbers.begin(), numbers.end());
        states_.resize(live_count() * k);
        for (std::size_t c = 0; c < numbers.size() * k; ++c) {
            states_.set(from * k + c, states.get(c));
        }
        key_hashes_.resize(from * m);
        key_hashes_.insert(key_hashes_.end(), hashes.begin(), hashes.end());
        if (!alt_key_hashes_.empty()) {
            alt.resize(hashes.size());
            alt_key_hashes_.resize(from * m);
            alt_key_hashes_.insert(alt_key_hashes_.end(), alt.begin(), alt.end());
        }
    }

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
    Place find_live(RowPointer r, Place after) const {
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
        const auto page = std::lower_bound(owned_.begin(), owned_.end(), r.page);
        if (page == owned_.end() || *page != r.page || row_first_.size() != owned_.size() + 1) {
            return {};
        }
        const auto p = static_cast<std::size_t>(page - owned_.begin());
        const auto begin = row_numbers_.begin() + row_first_[p];
        const auto end = row_numbers_.begin() + row_first_[p + 1];
        const auto at = std::lower_bound(begin, end, r.row);
        if (at == end || *at != r.row) {
            return {};
        }
        return {p, static_cast<std::size_t>(at - row_numbers_.begin())};
    }

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

    CellState cell_state(std::size_t at, const KeyColumn& kc) const {
        return states_.get(at * wanted_.size() + kc.slot);
    }
    std::uint32_t row_key_hash(std::size_t at, std::size_t index) const {
        return key_hashes_[at * index_keys_.size() + index];
    }
    // The row's key counted the other way, where that gives another key (0
    // otherwise).
    std::uint32_t row_alt_key_hash(std::size_t at, std::size_t index) const {
        const std::size_t i = at * index_keys_.size() + index;
        return i < alt_key_hashes_.size() ? alt_key_hashes_[i] : 0;
    }

    // ------------------------------------------------------------ long values

    // The pages the long-value map of a column lists, ascending.
    const std::vector<std::uint32_t>& lv_pages(const Column& c) {
        auto it = lv_owned_.find(c.number);
        if (it != lv_owned_.end()) {
            return it->second;
        }
        auto& pages = lv_owned_[c.number];
        if (const LongValueMaps* m = def_.long_value_maps_for(c.number)) {
            const std::string what = "long-value map of column \"" + c.name + "\"";
            if (const auto owned = read_map(m->owned, what)) {
                pages = sorted_unique(*owned);
            }
            if (const auto fm = read_map(m->free, "free " + what)) {
                for (const auto p : *fm) {
                    if (!contains(pages, p)) {
                        error("free-map-not-owned", p,
                              "The free " + what + " of " + label() + " lists page " +
                                  std::to_string(p) + ", which the column does not own.");
                    }
                }
            }
        }
        return pages;
    }

    // Reads one LVAL row; reports and returns false when it is not there.
    // `who` describes the long value.
    template <typename Who>
    bool lval_row(const Column& c, RowPointer at, RowPointer p, std::vector<std::uint8_t>& out,
                  Who& who) {
        if (p.page == 0 || p.page >= cx_.file.page_count()) {
            lv_lost("dangling-pointer", at.page,
                    who() + " points to " + ptr_text(p) + ", outside the file.", c, at);
            return false;
        }
        const PageBuf buf = cx_.file.read(p.page);
        if (buf[0] != kPageTypeData || le32(buf, 4) != kLvalMarker) {
            lv_lost("lv-not-lval-page", p.page,
                    who() + " points to " + ptr_text(p) + ", which is no long-value page.", c, at);
            return false;
        }
        try {
            const DataPage page(buf, p.page, cx_.file.where(p.page));
            if (p.row >= page.slot_count() || page.slot(p.row).deleted()) {
                lv_lost("dangling-pointer", p.page,
                        who() + " points to " + ptr_text(p) + ", a row that is " +
                            (p.row >= page.slot_count() ? "not there." : "deleted."),
                        c, at);
                return false;
            }
            const Bytes r = page.row(p.row);
            out.assign(r.begin(), r.end());
        } catch (const Error& e) {
            lv_lost("data-page-undecodable", p.page, e.what(), c, at);
            return false;
        }
        cx_.claim(p.page, PageRole::long_value, tp_);
        if (!cx_.use_long_value_row(p)) {
            lv_lost("lv-row-shared", p.page,
                    who() + " uses " + ptr_text(p) + ", which another long value uses too.", c, at);
        }
        if (!contains(lv_pages(c), p.page)) {
            error("lv-page-unmapped", p.page,
                  who() + " is stored on page " + std::to_string(p.page) +
                      ", which the column's long-value map does not list.");
        }
        return true;
    }

    void check_long_value(const Column& c, RowPointer at, const RowLayout& layout, Bytes data) {
        Lazy who([&] {
            return "The long value of column \"" + c.name + "\" in the row at " + ptr_text(at) +
                   " of " + label();
        });
        std::optional<ColumnSpan> span;
        LongValueDescriptor d;
        try {
            span = described(
                [&](const std::string& w) { return locate_column(c, layout, data, w); }, who);
            if (!span) {
                return;
            }
            const Bytes bytes = data.subspan(span->offset, span->length);
            // Other readers compare the whole byte, not only its two top bits.
            const std::uint8_t kind = u8(bytes, 3);
            if (kind != 0x80 && kind != 0x40 && kind != 0x00) {
                lv_lost("lv-bad-descriptor", at.page,
                        who() + " has the storage byte " + std::to_string(kind) +
                            " where 0x80 (in the row), 0x40 (one row) or 0 (a chain) belongs.",
                        c, at);
                return;
            }
            d = described(
                [&](const std::string& w) { return LongValueDescriptor::parse(bytes, w); }, who);
        } catch (const Error& e) {
            lv_lost("lv-bad-descriptor", at.page, e.what(), c, at);
            return;
        }
        if (d.kind == static_cast<std::uint8_t>(LongValueKind::inline_value)) {
            if (d.length > d.inline_data.size()) {
                lv_lost("lv-length", at.page,
                        who() + " is stored in the row with a length of " +
                            std::to_string(d.length) + " bytes, but the row holds only " +
                            std::to_string(d.inline_data.size()) + ".",
                        c, at);
            }
            return;
        }
        std::vector<std::uint8_t> r;
        if (d.kind == static_cast<std::uint8_t>(LongValueKind::single_row)) {
            if (lval_row(c, at, d.first, r, who) && r.size() != d.length) {
                lv_lost("lv-length", d.first.page,
                        who() + " states " + std::to_string(d.length) + " bytes; its row at " +
                            ptr_text(d.first) + " holds " + std::to_string(r.size()) + ".",
                        c, at);
            }
            return;
        }
        // A chain: each row starts with the pointer to the next (0 at the end).
        std::set<RowPointer> seen;
        std::uint64_t total = 0;
        RowPointer p = d.first;
        do {
            if (!seen.insert(p).second) {
                lv_lost("lv-chain-loop", p.page,
                        who() + " is a chain that comes back to " + ptr_text(p) +
                            "; reading it would never end.",
                        c, at);
                return;
            }
            if (!lval_row(c, at, p, r, who)) {
                return;
            }
            if (r.size() < 4) {
                lv_lost("lv-length", p.page,
                        who() + " has a chain row at " + ptr_text(p) + " too short for its link.",
                        c, at);
                return;
            }
            total += r.size() - 4;
            p = RowPointer{le24(r, 1), r[0]};
        } while (p.page != 0);
        if (total != d.length) {
            lv_lost("lv-length", d.first.page,
                    who() + " states " + std::to_string(d.length) + " bytes; its chain holds " +
                        std::to_string(total) + ".",
                    c, at);
        }
    }

    void check_long_value_maps() {
        for (const auto& c : def_.columns) {
            if (!c.is_long_value()) {
                continue;
            }
            for (const auto p : lv_pages(c)) {
                const PageBuf buf = cx_.file.read(p);
                if (buf[0] != kPageTypeData || le32(buf, 4) != kLvalMarker) {
                    error("lv-map-foreign", p,
                          "The long-value map of column \"" + c.name + "\" of " + label() +
                              " lists page " + std::to_string(p) +
                              ", which is no long-value "
                              "page.");
                    continue;
                }
                cx_.claim(p, PageRole::long_value, tp_);
            }
        }
    }

    // ------------------------------------------------------------ indexes

    std::vector<KeyColumn> key_columns(const RealIndex& ri) const {
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
    bool all_null(const std::vector<KeyColumn>& key, std::size_t at) const {
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
    bool any_null(const std::vector<KeyColumn>& key, std::size_t at) const {
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

    void check_indexes() {
        for (const auto& ri : def_.real_indexes) {
            ++cx_.report.indexes;
            index_scope_ = ri.ordinal;
            const std::string iname = "index " + std::to_string(ri.ordinal) + " of " + label();
            const auto mapped =
                read_map(ri.map, "usage map of index " + std::to_string(ri.ordinal), true);
            IndexTreeOptions o;
            o.owner = tp_;
            // The entries are checked as the walk hands them out; what the
            // walk finds about the tree itself is listed before them.
            auto& findings = cx_.report.findings;
            const auto entries_from = static_cast<std::ptrdiff_t>(findings.size());
            EntryCheck check(*this, ri, iname);
            const IndexTree tree =
                walk_index_tree(cx_.file, ri.root_page, o,
                                [&](const IndexEntry& e, std::uint32_t) { check.entry(e); });
            const auto tree_from = static_cast<std::ptrdiff_t>(findings.size());
            // A sound tree owns its pages. A damaged one claims none: its
            // pointers may lead anywhere, and the index is rebuilt from the
            // rows into new pages. The usage map mirrors the tree: pages it
            // lists beside the tree are reported below, not claimed.
            if (std::all_of(tree.problems.begin(), tree.problems.end(), index_problem_mendable)) {
                for (const auto p : tree.pages) {
                    cx_.claim(p, PageRole::index, tp_);
                }
            }
            for (const auto& pr : tree.problems) {
                error(pr.code, pr.page, "In " + iname + ": " + pr.description);
            }
            if (mapped) {
                const auto listed = sorted_unique(*mapped);
                if (!std::equal(listed.begin(), listed.end(), tree.pages.begin(),
                                tree.pages.end())) {
                    error("index-map-mismatch", ri.root_page,
                          "The usage map of " + iname + " lists " + std::to_string(mapped->size()) +
                              " page(s), its tree from root page " + std::to_string(ri.root_page) +
                              " has " + std::to_string(tree.pages.size()) + "; they differ.");
                }
            }
            std::rotate(findings.begin() + entries_from, findings.begin() + tree_from,
                        findings.end());
            check.finish();
            if (ri.ordinal < index_keys_.size() && index_keys_[ri.ordinal].unsupported) {
                cx_.report.uncomputable_indexes.insert({tp_, ri.ordinal});
            }
            // Said of an input only: in a compacted copy such keys are the
            // source's, copied, and their order is checked all the same.
            if (cx_.options.index_keys && !cx_.options.strict && ri.ordinal < index_keys_.size() &&
                index_keys_[ri.ordinal].unsupported) {
                note("index-keys-unchecked", ri.root_page,
                     "The keys of " + iname + " were not compared with its rows: " +
                         *index_keys_[ri.ordinal].unsupported + ".");
            }
        }
        index_scope_.reset();
    }

    // The checks of one index's entries, one entry at a time in tree order.
    class EntryCheck {
      public:
        EntryCheck(TableWalk& walk, const RealIndex& ri, const std::string& iname)
            : w_(walk),
              ri_(ri),
              iname_(iname),
              key_(walk.key_columns(ri)),
              seen_(walk.live_count()) {}

        void entry(const IndexEntry& e) {
            const Place place = w_.find_live(e.row, previous_);
            const std::size_t at = place.row;
            if (count_ == 0 || compare_keys(previous_key_, e.key) != 0) {
                ++distinct_;
            } else if (ri_.unique() && !w_.any_null(key_, at)) {
                w_.error("index-unique-violation", ri_.root_page,
                         "The unique " + iname_ + " holds the same key twice (rows at " +
                             ptr_text(previous_row_) + " and " + ptr_text(e.row) + ").");
            }
            ++count_;
            previous_key_.assign(e.key.begin(), e.key.end());
            previous_row_ = e.row;
            previous_ = place;
            if (at == kNone && w_.zeroed_.count(e.row.page) != 0) {
                // The row the entry names was on a page now zeroed: lost,
                // whatever becomes of the index.
                w_.lossy("index-lost-row", e.row.page,
                         "An entry of " + iname_ + " names the row at " + ptr_text(e.row) +
                             ", on a page of the table that now holds only zeros: that row "
                             "is lost.",
                         Loss::Kind::page, RowPointer{e.row.page, 0});
                return;
            }
            if (at == kNone) {
                w_.error("index-dangling-entry", ri_.root_page,
                         "An entry of " + iname_ + " points to " + ptr_text(e.row) +
                             ", which is no live row of the table.");
                return;
            }
            if (seen_[at]) {
                w_.error("index-duplicate-row", ri_.root_page,
                         iname_ + " lists the row at " + ptr_text(e.row) + " more than once.");
            }
            seen_[at] = true;
            const std::uint32_t want = w_.row_key_hash(at, ri_.ordinal);
            const std::uint32_t have = key_hash(e.key);
            if (want != 0 && want != have && w_.row_alt_key_hash(at, ri_.ordinal) != have) {
                w_.error("index-key-mismatch", ri_.root_page,
                         "The key of " + iname_ + " for the row at " + ptr_text(e.row) +
                             " does not match the row's values; searches by this index would "
                             "miss or misplace the row.");
            }
        }

        // After the walk: live rows the index left out, and its statistics.
        void finish() {
            for (std::size_t p = 0; p + 1 < w_.row_first_.size(); ++p) {
                for (std::size_t i = w_.row_first_[p]; i < w_.row_first_[p + 1]; ++i) {
                    if (!seen_[i] && !(ri_.ignore_nulls() && w_.all_null(key_, i))) {
                        const RowPointer r{w_.owned_[p], w_.row_numbers_[i]};
                        w_.error("index-missing-row", ri_.root_page,
                                 iname_ + " has no entry for the live row at " + ptr_text(r) + ".");
                    }
                }
            }
            if (ri_.stats.b != distinct_) {
                w_.note("stale-index-stats", w_.tp_,
                        "The statistics of " + iname_ + " count " + std::to_string(ri_.stats.b) +
                            " distinct keys; the index holds " + std::to_string(distinct_) + ".");
            }
        }

      private:
        TableWalk& w_;
        const RealIndex& ri_;
        const std::string& iname_;
        const std::vector<KeyColumn> key_;
        std::vector<bool> seen_;  // a bit per live row
        std::size_t count_ = 0;
        std::size_t distinct_ = 0;
        std::vector<std::uint8_t> previous_key_;
        RowPointer previous_row_;
        Place previous_;  // where previous_row_ sits among the live rows
    };

    // ------------------------------------------------------------ counts

    void check_counts() {
        cx_.report.rows += live_count();
        if (def_.row_count != live_count()) {
            note("stale-row-count", tp_,
                 label() + " records " + std::to_string(def_.row_count) + " rows but holds " +
                     std::to_string(live_count()) + ".");
        }
        if (max_autonumber_ && *max_autonumber_ > static_cast<std::int64_t>(def_.autonumber)) {
            error("autonumber-behind", tp_,
                  "The autonumber counter of " + label() + " stands at " +
                      std::to_string(def_.autonumber) + " below the highest value in use (" +
                      std::to_string(*max_autonumber_) +
                      "); new rows would get numbers already taken.");
        }
    }

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
    std::vector<std::uint16_t> wanted_;     // columns some index is built on, ascending
    std::vector<std::size_t> column_slot_;  // per column of def_: its place in wanted_, or kNone
    CellStates states_;
    // Per live row, the key hash of each real index (index_keys_.size() a row).
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
    std::optional<std::int64_t> max_autonumber_;
    // The real index whose checks are running: their errors concern it alone.
    std::optional<std::uint32_t> index_scope_;
    std::set<std::uint32_t> zeroed_;  // listed pages that hold only zeros
};

}  // namespace

void check_table(Context& cx, std::uint32_t tdef_page, const std::string& catalog_name) {
    TableWalk(cx, tdef_page, catalog_name).run();
}

}  // namespace jet::check_detail
