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
        sort_live();
        check_long_value_maps();
        check_indexes();
        check_counts();
        ++cx_.report.tables;
    }

  private:
    // What the index checks need of one indexed column of a row.
    enum class CellState : std::uint8_t { absent, null, integer, other };
    struct Cell {
        std::int64_t integer = 0;
        CellState state = CellState::absent;  // absent: did not decode
    };
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    std::string label() const { return Context::table_label(name_); }
    void error(const std::string& code, std::uint32_t page, const std::string& text) {
        cx_.error(code, page, name_, text);
    }
    void note(const std::string& code, std::uint32_t page, const std::string& text) {
        cx_.note(code, page, name_, text);
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
            error("tdef-undecodable", tp_,
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
            error("tdef-magic", tp_,
                  "The definition of " + label() + " carries " + std::to_string(def_.magic) +
                      " at offset 12 where every table definition has 1625.");
        }
        if (def_.declared_length != def_.end_offset) {
            error("tdef-length", tp_,
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
                error("tdef-columns", tp_,
                      "Column \"" + c.name + "\" of " + label() + " has number " +
                          std::to_string(c.number) +
                          ", which is used twice or not below the "
                          "table's column counter (" +
                          std::to_string(def_.max_columns) + ").");
            }
            if (!c.is_fixed() && !var_indexes.insert(c.var_index).second) {
                error("tdef-columns", tp_,
                      "Column \"" + c.name + "\" of " + label() + " shares variable slot " +
                          std::to_string(c.var_index) + " with another column.");
            }
            if (c.is_long_value() && def_.long_value_maps_for(c.number) == nullptr) {
                error("tdef-lv-maps", tp_,
                      "The memo/OLE column \"" + c.name + "\" of " + label() +
                          " has no usage maps for its long values.");
            }
        }
        for (const auto& ri : def_.real_indexes) {
            for (const auto& ic : ri.columns) {
                if (def_.column_by_number(ic.number) == nullptr) {
                    error("tdef-index-column", tp_,
                          "Index " + std::to_string(ri.ordinal) + " of " + label() +
                              " is built on column number " + std::to_string(ic.number) +
                              ", which the table does not have.");
                }
            }
        }
        for (const auto& li : def_.logical_indexes) {
            if (li.real_index >= def_.real_indexes.size()) {
                error("tdef-logical-index", tp_,
                      "Index \"" + li.name + "\" of " + label() + " uses real index " +
                          std::to_string(li.real_index) + ", but the table has only " +
                          std::to_string(def_.real_indexes.size()) + ".");
            }
        }
    }

    // ------------------------------------------------------------ maps

    // Reads a usage map and claims its holder and bitmap pages. Returns the
    // pages inside the file; nothing when the map is absent or unreadable.
    std::optional<std::vector<std::uint32_t>> read_map(RowPointer at, const std::string& what) {
        if (at.page == 0 && at.row == 0) {
            return std::nullopt;
        }
        const PageFile& f = cx_.file;
        if (at.page >= f.page_count() || at.page < 1) {
            error("dangling-pointer", tp_,
                  "The " + what + " of " + label() + " is said to be at " + ptr_text(at) +
                      ", outside the file.");
            return std::nullopt;
        }
        try {
            const DataPage holder = read_data_page(f, at.page);
            if (at.row >= holder.slot_count() || holder.slot(at.row).deleted()) {
                error("map-row-missing", at.page,
                      "The " + what + " of " + label() + " is said to be at " + ptr_text(at) +
                          ", but that row is " +
                          (at.row >= holder.slot_count() ? "not there." : "deleted."));
                return std::nullopt;
            }
        } catch (const Error& e) {
            error("map-undecodable", at.page,
                  "The " + what + " of " + label() + " cannot be read: " + e.what());
            return std::nullopt;
        }
        cx_.claim(at.page, PageRole::map_holder, tp_);
        UsageMap m;
        try {
            m = read_usage_map(f, at, what + " of " + label());
        } catch (const Error& e) {
            error("map-undecodable", at.page,
                  "The " + what + " of " + label() + " cannot be read: " + e.what());
            return std::nullopt;
        }
        if (m.kind == UsageMap::Kind::inline_map && m.start_page % 8 != 0) {
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
                error("dangling-pointer", at.page,
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
        const auto owned = read_map(def_.owned_map, "owned-pages map");
        if (!owned) {
            if (!(def_.owned_map.page == 0 && def_.owned_map.row == 0)) {
                return;  // reported
            }
            error("map-row-missing", tp_, label() + " has no owned-pages map.");
            return;
        }
        owned_.insert(owned->begin(), owned->end());
        if (const auto fm = read_map(def_.free_map, "free-space map")) {
            for (const auto p : *fm) {
                if (owned_.count(p) == 0) {
                    error("free-map-not-owned", p,
                          "The free-space map of " + label() + " lists page " + std::to_string(p) +
                              ", which the table does not own.");
                }
            }
        }
        for (const auto p : *owned) {
            cx_.claim(p, PageRole::table_data, tp_);
            walk_data_page(p);
        }
    }

    void walk_data_page(std::uint32_t n) {
        const PageBuf buf = cx_.file.read(n);
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
            error("data-page-undecodable", n, e.what());
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
            std::vector<std::uint8_t> moved;
            Bytes data = page->row(i);
            if (s.overflow()) {
                if (!follow_overflow(header, data, moved)) {
                    continue;
                }
                data = moved;
            }
            live_.push_back(row_key(header));
            cells_.resize(cells_.size() + wanted_.size());
            check_row(header, data);
        }
    }

    bool follow_overflow(RowPointer header, Bytes data, std::vector<std::uint8_t>& out) {
        if (data.size() < 4) {
            error("overflow-bad-target", header.page,
                  "The moved row at " + ptr_text(header) + " of " + label() +
                      " is too short to say where its data went.");
            return false;
        }
        const RowPointer target{le24(data, 1), data[0]};
        if (owned_.count(target.page) == 0) {
            error("overflow-bad-target", header.page,
                  "The moved row at " + ptr_text(header) + " of " + label() + " points to " +
                      ptr_text(target) + ", a page the table does not own.");
            return false;
        }
        try {
            const DataPage tp = read_data_page(cx_.file, target.page);
            const RowSlot& ts = tp.slot(target.row);
            if ((ts.raw & (kSlotDeleted | kSlotOverflow)) != kSlotDeleted) {
                error("overflow-bad-target", header.page,
                      "The moved row at " + ptr_text(header) + " of " + label() + " points to " +
                          ptr_text(target) + ", which is not marked as a moved row's data.");
                return false;
            }
            const Bytes r = tp.row(target.row);
            out.assign(r.begin(), r.end());
            return true;
        } catch (const Error& e) {
            error("overflow-bad-target", header.page,
                  "The moved row at " + ptr_text(header) + " of " + label() +
                      " points to data that cannot be read: " + e.what());
            return false;
        }
    }

    void check_row(RowPointer at, Bytes data) {
        const std::string what = "row at " + ptr_text(at) + " of " + label();
        RowLayout layout;
        try {
            layout = parse_row_layout(def_, data, what);
        } catch (const Error& e) {
            error("row-undecodable", at.page, e.what());
            return;
        }
        Cell* const cells = wanted_.empty() ? nullptr : &cells_[cells_.size() - wanted_.size()];
        for (const auto& c : def_.columns) {
            if (c.is_long_value()) {
                check_long_value(c, at, layout, data);
                continue;
            }
            Value v;
            try {
                v = decode_column(cx_.file, c, layout, data, what);
            } catch (const Error& e) {
                error("row-undecodable", at.page,
                      "Column \"" + c.name + "\" of the " + what + " does not decode: " + e.what());
                continue;
            }
            if ((c.flags & kColumnFlagAutoLongMask) != 0) {
                if (const auto* i = std::get_if<std::int64_t>(&v)) {
                    max_autonumber_ = std::max(max_autonumber_.value_or(*i), *i);
                }
            }
            if (const std::size_t slot = wanted_slot(c.number); slot != kNone) {
                Cell& cell = cells[slot];
                if (is_null(v)) {
                    cell.state = CellState::null;
                } else if (const auto* i = std::get_if<std::int64_t>(&v)) {
                    cell.state = CellState::integer;
                    cell.integer = *i;
                } else {
                    cell.state = CellState::other;
                }
            }
        }
    }

    // The owned pages come from their map in ascending order, so the live rows
    // are normally sorted already; otherwise they are sorted here with their
    // cells, a row met twice keeping every column either sighting decoded (the
    // later one winning).
    void sort_live() {
        if (std::adjacent_find(live_.begin(), live_.end(), std::greater_equal<>()) == live_.end()) {
            return;
        }
        const std::size_t k = wanted_.size();
        std::vector<std::size_t> order(live_.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return live_[a] < live_[b]; });
        std::vector<std::uint64_t> keys;
        std::vector<Cell> cells;
        for (const auto i : order) {
            if (!keys.empty() && keys.back() == live_[i]) {
                for (std::size_t j = 0; j < k; ++j) {
                    if (cells_[i * k + j].state != CellState::absent) {
                        cells[cells.size() - k + j] = cells_[i * k + j];
                    }
                }
                continue;
            }
            keys.push_back(live_[i]);
            const auto first = cells_.begin() + static_cast<std::ptrdiff_t>(i * k);
            cells.insert(cells.end(), first, first + static_cast<std::ptrdiff_t>(k));
        }
        live_.swap(keys);
        cells_.swap(cells);
    }

    static std::uint64_t row_key(RowPointer p) { return (std::uint64_t{p.page} << 8) | p.row; }
    static RowPointer key_row(std::uint64_t k) {
        return {static_cast<std::uint32_t>(k >> 8), static_cast<std::uint8_t>(k & 0xFF)};
    }

    // Where a row sits in live_, or kNone when it is no live row.
    std::size_t live_index(RowPointer row) const {
        const std::uint64_t k = row_key(row);
        const auto it = std::lower_bound(live_.begin(), live_.end(), k);
        return it != live_.end() && *it == k ? static_cast<std::size_t>(it - live_.begin()) : kNone;
    }

    std::size_t wanted_slot(std::uint16_t number) const {
        const auto it = std::lower_bound(wanted_.begin(), wanted_.end(), number);
        return it != wanted_.end() && *it == number ? static_cast<std::size_t>(it - wanted_.begin())
                                                    : kNone;
    }

    // A live row's cells; nullptr when the row is not live or none of its
    // indexed columns decoded.
    const Cell* row_cells(RowPointer row) const {
        const std::size_t at = live_index(row);
        const std::size_t k = wanted_.size();
        if (at == kNone || k == 0) {
            return nullptr;
        }
        const Cell* cells = &cells_[at * k];
        for (std::size_t j = 0; j < k; ++j) {
            if (cells[j].state != CellState::absent) {
                return cells;
            }
        }
        return nullptr;
    }

    // One indexed column of a row; nullptr when it did not decode.
    const Cell* column_cell(const Cell* cells, std::uint16_t number) const {
        const std::size_t slot = wanted_slot(number);
        if (slot == kNone || cells[slot].state == CellState::absent) {
            return nullptr;
        }
        return &cells[slot];
    }

    // ------------------------------------------------------------ long values

    const std::set<std::uint32_t>& lv_pages(const Column& c) {
        auto it = lv_owned_.find(c.number);
        if (it != lv_owned_.end()) {
            return it->second;
        }
        auto& pages = lv_owned_[c.number];
        if (const LongValueMaps* m = def_.long_value_maps_for(c.number)) {
            const std::string what = "long-value map of column \"" + c.name + "\"";
            if (const auto owned = read_map(m->owned, what)) {
                pages.insert(owned->begin(), owned->end());
            }
            if (const auto fm = read_map(m->free, "free " + what)) {
                for (const auto p : *fm) {
                    if (pages.count(p) == 0) {
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
    bool lval_row(const Column& c, RowPointer at, RowPointer p, std::vector<std::uint8_t>& out) {
        const std::string who = "The long value of column \"" + c.name + "\" in the row at " +
                                ptr_text(at) + " of " + label();
        if (p.page == 0 || p.page >= cx_.file.page_count()) {
            error("dangling-pointer", at.page,
                  who + " points to " + ptr_text(p) + ", outside the file.");
            return false;
        }
        const PageBuf buf = cx_.file.read(p.page);
        if (buf[0] != kPageTypeData || le32(buf, 4) != kLvalMarker) {
            error("lv-not-lval-page", p.page,
                  who + " points to " + ptr_text(p) + ", which is no long-value page.");
            return false;
        }
        try {
            const DataPage page(buf, p.page, cx_.file.where(p.page));
            if (p.row >= page.slot_count() || page.slot(p.row).deleted()) {
                error("dangling-pointer", p.page,
                      who + " points to " + ptr_text(p) + ", a row that is " +
                          (p.row >= page.slot_count() ? "not there." : "deleted."));
                return false;
            }
            const Bytes r = page.row(p.row);
            out.assign(r.begin(), r.end());
        } catch (const Error& e) {
            error("data-page-undecodable", p.page, e.what());
            return false;
        }
        cx_.claim(p.page, PageRole::long_value, tp_);
        const auto [it, fresh] = cx_.long_value_rows.emplace(p, tp_);
        if (!fresh) {
            error("lv-row-shared", p.page,
                  who + " uses " + ptr_text(p) + ", which another long value uses too.");
        }
        if (lv_pages(c).count(p.page) == 0) {
            error("lv-page-unmapped", p.page,
                  who + " is stored on page " + std::to_string(p.page) +
                      ", which the column's long-value map does not list.");
        }
        return true;
    }

    void check_long_value(const Column& c, RowPointer at, const RowLayout& layout, Bytes data) {
        const std::string who = "The long value of column \"" + c.name + "\" in the row at " +
                                ptr_text(at) + " of " + label();
        std::optional<ColumnSpan> span;
        LongValueDescriptor d;
        try {
            span = locate_column(c, layout, data, who);
            if (!span) {
                return;
            }
            const Bytes bytes = data.subspan(span->offset, span->length);
            // Other readers compare the whole byte, not only its two top bits.
            const std::uint8_t kind = u8(bytes, 3);
            if (kind != 0x80 && kind != 0x40 && kind != 0x00) {
                error("lv-bad-descriptor", at.page,
                      who + " has the storage byte " + std::to_string(kind) +
                          " where 0x80 (in the row), 0x40 (one row) or 0 (a chain) belongs.");
                return;
            }
            d = LongValueDescriptor::parse(bytes, who);
        } catch (const Error& e) {
            error("lv-bad-descriptor", at.page, e.what());
            return;
        }
        if (d.kind == static_cast<std::uint8_t>(LongValueKind::inline_value)) {
            if (d.length > d.inline_data.size()) {
                error("lv-length", at.page,
                      who + " is stored in the row with a length of " + std::to_string(d.length) +
                          " bytes, but the row holds only " + std::to_string(d.inline_data.size()) +
                          ".");
            }
            return;
        }
        std::vector<std::uint8_t> r;
        if (d.kind == static_cast<std::uint8_t>(LongValueKind::single_row)) {
            if (lval_row(c, at, d.first, r) && r.size() != d.length) {
                error("lv-length", d.first.page,
                      who + " states " + std::to_string(d.length) + " bytes; its row at " +
                          ptr_text(d.first) + " holds " + std::to_string(r.size()) + ".");
            }
            return;
        }
        // A chain: each row starts with the pointer to the next (0 at the end).
        std::set<RowPointer> seen;
        std::uint64_t total = 0;
        RowPointer p = d.first;
        do {
            if (!seen.insert(p).second) {
                error("lv-chain-loop", p.page,
                      who + " is a chain that comes back to " + ptr_text(p) +
                          "; reading it would never end.");
                return;
            }
            if (!lval_row(c, at, p, r)) {
                return;
            }
            if (r.size() < 4) {
                error("lv-length", p.page,
                      who + " has a chain row at " + ptr_text(p) + " too short for its link.");
                return;
            }
            total += r.size() - 4;
            p = RowPointer{le24(r, 1), r[0]};
        } while (p.page != 0);
        if (total != d.length) {
            error("lv-length", d.first.page,
                  who + " states " + std::to_string(d.length) + " bytes; its chain holds " +
                      std::to_string(total) + ".");
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

    bool all_null(const RealIndex& ri, RowPointer row) const {
        const Cell* const cells = row_cells(row);
        for (const auto& ic : ri.columns) {
            const Column* c = def_.column_by_number(ic.number);
            if (c == nullptr) {
                continue;
            }
            if (c->column_type() == ColumnType::boolean) {
                return false;  // booleans are never null
            }
            if (cells == nullptr) {
                continue;
            }
            const Cell* const v = column_cell(cells, ic.number);
            if (v != nullptr && v->state != CellState::null) {
                return false;
            }
        }
        return true;
    }

    bool any_null(const RealIndex& ri, RowPointer row) const {
        const Cell* const cells = row_cells(row);
        for (const auto& ic : ri.columns) {
            const Column* c = def_.column_by_number(ic.number);
            if (c == nullptr || c->column_type() == ColumnType::boolean) {
                continue;
            }
            if (cells == nullptr) {
                return true;
            }
            const Cell* const v = column_cell(cells, ic.number);
            if (v == nullptr || v->state == CellState::null) {
                return true;
            }
        }
        return false;
    }

    // The leading integer columns of a row's key, encoded; empty when the
    // index does not start with an integer column.
    std::vector<std::uint8_t> integer_prefix(const RealIndex& ri, RowPointer row) const {
        std::vector<std::uint8_t> key;
        const Cell* const cells = row_cells(row);
        for (const auto& ic : ri.columns) {
            const Column* c = def_.column_by_number(ic.number);
            if (c == nullptr || cells == nullptr) {
                break;
            }
            std::size_t width = 0;
            if (c->column_type() == ColumnType::integer) {
                width = 2;
            } else if (c->column_type() == ColumnType::long_integer) {
                width = 4;
            } else {
                break;
            }
            const Cell* const v = column_cell(cells, ic.number);
            if (v == nullptr || v->state == CellState::null) {
                append_null_key(key, ic.ascending());
            } else if (v->state == CellState::integer) {
                append_integer_key(key, v->integer, width, ic.ascending());
            } else {
                break;
            }
        }
        return key;
    }

    void check_indexes() {
        for (const auto& ri : def_.real_indexes) {
            ++cx_.report.indexes;
            const std::string iname = "index " + std::to_string(ri.ordinal) + " of " + label();
            const auto mapped =
                read_map(ri.map, "usage map of index " + std::to_string(ri.ordinal));
            IndexTreeOptions o;
            o.owner = tp_;
            const IndexTree tree = read_index_tree(cx_.file, ri.root_page, o);
            for (const auto p : tree.pages) {
                cx_.claim(p, PageRole::index, tp_);
            }
            if (mapped) {
                for (const auto p : *mapped) {
                    cx_.claim(p, PageRole::index, tp_);
                }
            }
            for (const auto& pr : tree.problems) {
                error(pr.code, pr.page, "In " + iname + ": " + pr.description);
            }
            if (mapped && std::set<std::uint32_t>(mapped->begin(), mapped->end()) != tree.pages) {
                error("index-map-mismatch", ri.root_page,
                      "The usage map of " + iname + " lists " + std::to_string(mapped->size()) +
                          " page(s), its tree from root page " + std::to_string(ri.root_page) +
                          " has " + std::to_string(tree.pages.size()) + "; they differ.");
            }
            check_entries(ri, iname, tree);
        }
    }

    void check_entries(const RealIndex& ri, const std::string& iname, const IndexTree& tree) {
        std::vector<bool> seen(live_.size());
        std::size_t distinct = 0;
        for (std::size_t i = 0; i < tree.entries.size(); ++i) {
            const IndexEntry& e = tree.entries[i];
            if (i == 0 || compare_keys(tree.entries[i - 1].key, e.key) != 0) {
                ++distinct;
            } else if (ri.unique() && !any_null(ri, e.row)) {
                error("index-unique-violation", ri.root_page,
                      "The unique " + iname + " holds the same key twice (rows at " +
                          ptr_text(tree.entries[i - 1].row) + " and " + ptr_text(e.row) + ").");
            }
            const std::size_t at = live_index(e.row);
            if (at == kNone) {
                error("index-dangling-entry", ri.root_page,
                      "An entry of " + iname + " points to " + ptr_text(e.row) +
                          ", which is no live row of the table.");
                continue;
            }
            if (seen[at]) {
                error("index-duplicate-row", ri.root_page,
                      iname + " lists the row at " + ptr_text(e.row) + " more than once.");
            }
            seen[at] = true;
            const auto want = integer_prefix(ri, e.row);
            if (!want.empty() && (e.key.size() < want.size() ||
                                  !std::equal(want.begin(), want.end(), e.key.begin()))) {
                error("index-key-mismatch", ri.root_page,
                      "The key of " + iname + " for the row at " + ptr_text(e.row) +
                          " does not match the row's values; searches by this index would "
                          "miss or misplace the row.");
            }
        }
        for (std::size_t i = 0; i < live_.size(); ++i) {
            const RowPointer r = key_row(live_[i]);
            if (!seen[i] && !(ri.ignore_nulls() && all_null(ri, r))) {
                error("index-missing-row", ri.root_page,
                      iname + " has no entry for the live row at " + ptr_text(r) + ".");
            }
        }
        if (ri.stats.b != distinct) {
            note("stale-index-stats", tp_,
                 "The statistics of " + iname + " count " + std::to_string(ri.stats.b) +
                     " distinct keys; the index holds " + std::to_string(distinct) + ".");
        }
    }

    // ------------------------------------------------------------ counts

    void check_counts() {
        cx_.report.rows += live_.size();
        if (def_.row_count != live_.size()) {
            note("stale-row-count", tp_,
                 label() + " records " + std::to_string(def_.row_count) + " rows but holds " +
                     std::to_string(live_.size()) + ".");
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
    std::set<std::uint32_t> owned_;
    // Live rows as page << 8 | slot, ascending once walked; beside each, the
    // cells of the wanted_ columns, wanted_.size() of them per row.
    std::vector<std::uint64_t> live_;
    std::vector<std::uint16_t> wanted_;  // columns some index is built on, ascending
    std::vector<Cell> cells_;
    std::map<std::uint16_t, std::set<std::uint32_t>> lv_owned_;
    std::optional<std::int64_t> max_autonumber_;
};

}  // namespace

void check_table(Context& cx, std::uint32_t tdef_page, const std::string& catalog_name) {
    TableWalk(cx, tdef_page, catalog_name).run();
}

}  // namespace jet::check_detail
