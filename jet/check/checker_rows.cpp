// The table's walk through its usage maps, data pages and rows: what the
// index checks need of each live row is kept as it is met.
#include <algorithm>
#include <functional>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "jet/check/checker_table.h"
#include "jet/format/data_page.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/key_encoder.h"
#include "jet/format/row.h"
#include "jet/format/usage_map.h"

namespace jet::check_detail {

namespace {

constexpr std::size_t kMaxRowsPerPage = 255;
constexpr std::uint8_t kColumnFlagAutoLongMask = kColumnFlagAutoLong;

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

}  // namespace

// ------------------------------------------------------------ maps

// Reads a usage map and claims its holder and bitmap pages. Returns the
// pages inside the file; nothing when the map is absent or unreadable.
// A map of the table's rows is what finds them: what keeps it from being
// read loses the table (a page it lists past the end of the file loses
// that page only). Every other map mirrors a structure the walk reads
// on its own, and every compaction writes it afresh: what is wrong with it
// is reported as the mismatch it is.
std::optional<std::vector<std::uint32_t>> TableWalk::read_map(RowPointer at,
                                                              const std::string& what, MapUse use) {
    // `whole`: the map cannot be read at all. A list of a table's pages is
    // then rebuilt when an earlier pass found the pages its indexes name.
    const auto fail = [&](const std::string& c, std::uint32_t page, const std::string& text,
                          bool whole) {
        if (use != MapUse::rows) {
            error(c, page, text);
        } else if (whole && cx_.adopted.count(tp_) != 0) {
            const auto& pages = cx_.adopted.at(tp_);
            error("owned-map-rebuilt", page,
                  text + " The " + std::to_string(pages.size()) +
                      " page(s) in use that hold rows naming the table, rows its indexes "
                      "list or its moved rows point to (" +
                      page_list(pages) + "), are taken as its pages; the copy lists them.");
        } else {
            table_lost(c, page, text);
        }
    };
    return read_map(cx_, at, what, use, fail);
}

std::optional<std::vector<std::uint32_t>> TableWalk::read_map(Context& cx, RowPointer at,
                                                              const std::string& what, MapUse use,
                                                              const MapFailure& fail) const {
    const auto code = [use](const char* c) {
        switch (use) {
            case MapUse::index:
                return std::string("index-map-mismatch");
            case MapUse::long_values:
                return std::string("lv-map-mismatch");
            case MapUse::free_space:
                return std::string("free-map-mismatch");
            case MapUse::rows:
                break;
        }
        return std::string(c);
    };
    const auto error = [&](const std::string& c, std::uint32_t page, const std::string& text,
                           bool whole = false) { fail(c, page, text, whole); };
    if (at.page == 0 && at.row == 0) {
        return std::nullopt;
    }
    const PageFile& f = cx.file;
    if (at.page >= f.page_count() || at.page < 1) {
        error(code("dangling-pointer"), tp_,
              "The " + what + " of " + label() + " is said to be at " + ptr_text(at) +
                  ", outside the file.",
              true);
        return std::nullopt;
    }
    try {
        const DataPage holder = read_data_page(f, at.page);
        if (at.row >= holder.slot_count() || holder.slot(at.row).deleted()) {
            error(code("map-row-missing"), at.page,
                  "The " + what + " of " + label() + " is said to be at " + ptr_text(at) +
                      ", but that row is " +
                      (at.row >= holder.slot_count() ? "not there." : "deleted."),
                  true);
            return std::nullopt;
        }
    } catch (const Error& e) {
        error(code("map-undecodable"), at.page,
              "The " + what + " of " + label() + " cannot be read: " + e.what(), true);
        return std::nullopt;
    }
    cx.claim(at.page, PageRole::map_holder, tp_);
    UsageMap m;
    try {
        m = read_usage_map(f, at, what + " of " + label());
    } catch (const Error& e) {
        error(code("map-undecodable"), at.page,
              "The " + what + " of " + label() + " cannot be read: " + e.what(), true);
        return std::nullopt;
    }
    // Access starts an inline map at a multiple of 8 and so does the
    // compactor; other writers start it at any page, which reads the same.
    if (cx.options.strict && m.kind == UsageMap::Kind::inline_map && m.start_page % 8 != 0) {
        error("map-bad-start", at.page,
              "The " + what + " of " + label() + " starts at page " + std::to_string(m.start_page) +
                  ", not a multiple of 8.");
    }
    for (const auto b : m.bitmap_pages) {
        if (b != 0 && b < 0x80000000u) {
            cx.claim(b, PageRole::usage_bitmap, tp_);
        }
    }
    std::vector<std::uint32_t> inside;
    for (const auto p : m.pages) {
        if (p < f.page_count() && p != 0) {
            inside.push_back(p);
            continue;
        }
        const std::string text = "The " + what + " of " + label() + " lists page " +
                                 std::to_string(p) + ", which is not inside the file.";
        if (use == MapUse::rows && p != 0 && tp_ != kCatalogPage) {
            // A file cut short: the rows on the pages it still holds are
            // whole; those of the pages past its end are what is lost.
            cx.lossy(code("dangling-pointer"), at.page, name_, text,
                     Loss{Loss::Kind::page, tp_, p, 0, 0});
        } else {
            error(code("dangling-pointer"), at.page, text);
        }
    }
    return inside;
}

// ------------------------------------------------------------ rows

void TableWalk::walk_maps_and_rows() {
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
            k.fields.push_back(key_field(*c, ic, cx_.db.header()));
            k.slots.push_back(wanted_slot(ic.number));
            if (!k.unsupported) {
                k.unsupported = key_unsupported(k.fields.back());
            }
        }
    }
    auto owned = read_map(def_.owned_map, "owned-pages map", MapUse::rows);
    if (!owned) {
        if (def_.owned_map.page == 0 && def_.owned_map.row == 0) {
            table_lost("map-row-missing", tp_, label() + " has no owned-pages map.");
            return;
        }
        if (cx_.adopted.count(tp_) == 0) {
            return;  // reported; the indexes tell where the rows are
        }
        map_rebuilt_ = true;  // from the pages an earlier pass found
        owned.emplace();
    }
    owned_ = sorted_unique(std::move(*owned));  // as a map lists them already
    if (const auto it = cx_.adopted.find(tp_); it != cx_.adopted.end()) {
        std::vector<std::uint32_t> merged;
        std::set_union(owned_.begin(), owned_.end(), it->second.begin(), it->second.end(),
                       std::back_inserter(merged));
        owned_ = std::move(merged);
        cx_.report.unlisted_pages[tp_] = it->second;
    }
    if (const auto it = cx_.adopted.find(tp_); it != cx_.adopted.end() && !map_rebuilt_) {
        error("map-page-missing", it->second.front(),
              "The owned-pages map of " + label() + " leaves out " +
                  std::to_string(it->second.size()) + " page(s) in use (" + page_list(it->second) +
                  ") that hold rows naming the table, rows its indexes list or its moved rows "
                  "point to; the copy keeps "
                  "them with the table's other rows.");
    }
    if (const auto fm = read_map(def_.free_map, "free-space map", MapUse::free_space)) {
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
    if (keys_compared()) {
        key_hashes_.reserve(expected * index_keys_.size());
    }
    row_first_.reserve(owned_.size() + 1);
    apart_ = walk_pages_apart();
    if (!apart_) {
        walk_pages(0, owned_.size());
    }
    row_first_.push_back(static_cast<std::uint32_t>(live_count()));
}

void TableWalk::walk_pages(std::size_t begin, std::size_t end) {
    // Owned pages mostly lie in runs of neighbours: read a run at once.
    constexpr std::size_t kRun = 16;
    std::vector<PageBuf> run(kRun);
    std::size_t run_first = begin;
    std::size_t run_size = 0;
    const std::uint32_t pages = cx_.file.page_count();
    for (std::size_t at = begin; at < end; ++at) {
        const std::uint32_t p = owned_[at];
        row_first_.push_back(static_cast<std::uint32_t>(live_count()));
        if (p < pages && at >= run_first + run_size) {
            run_first = at;
            run_size = 1;
            while (run_size < kRun && at + run_size < end &&
                   owned_[at + run_size] == p + run_size && p + run_size < pages) {
                ++run_size;
            }
            cx_.file.read_run(p, static_cast<std::uint32_t>(run_size), run.data());
        }
        const PageBuf* read = p < pages ? &run[at - run_first] : nullptr;
        // A page the map lists that is another table's, or no data page at
        // all, is not this table's to claim (map-page-foreign says so).
        if (read == nullptr || !foreign_page(*read)) {
            cx_.claim(p, PageRole::table_data, tp_);
        }
        walk_data_page(p, read);
        sort_page_rows(row_first_.back());
    }
}

struct TableWalk::RangeWalk {
    std::size_t begin = 0;
    std::size_t end = 0;
    CheckReport report;
    Context::Log log;
    std::vector<std::uint32_t> row_first;  // from the range's first row
    std::vector<std::uint8_t> row_numbers;
    CellStates states;
    std::vector<std::uint32_t> key_hashes;
    std::vector<std::uint32_t> alt_key_hashes;
    std::optional<std::int64_t> max_autonumber;
    std::vector<std::uint32_t> lv_used;
    bool walked = false;  // false: the walk threw, or never ran
};

// Runs on a thread of its own, over a Database of its own that reads
// through the run's handle and cache.
void TableWalk::walk_range_apart(std::size_t begin, std::size_t end, RangeWalk& out) const {
    const Database db = cx_.another_reader();
    Context cx(db, cx_.options, out.report, &out.log);
    TableWalk walk(cx, *this);
    walk.walk_pages(begin, end);
    out.row_first = std::move(walk.row_first_);
    out.row_numbers = std::move(walk.row_numbers_);
    out.states.swap(walk.states_);
    out.key_hashes = std::move(walk.key_hashes_);
    out.alt_key_hashes = std::move(walk.alt_key_hashes_);
    out.max_autonumber = walk.max_autonumber_;
    out.lv_used = std::move(walk.lv_used_);
    out.walked = true;
}

bool TableWalk::walk_pages_apart() {
    const std::size_t threads = cx_.options.threads;
    if (threads < 2 || !cx_.split_table || cx_.options.rows != nullptr || map_rebuilt_ ||
        owned_.size() < std::max<std::size_t>(cx_.options.split_pages, threads) ||
        cx_.adopted.count(tp_) != 0) {
        return false;
    }
    // This thread walks the first range, each helper one of the others.
    const std::size_t step = owned_.size() / threads;
    std::vector<RangeWalk> ranges(threads - 1);
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        ranges[k].begin = (k + 1) * step;
        ranges[k].end = k + 1 == ranges.size() ? owned_.size() : (k + 2) * step;
    }
    JoinedThreads helpers;
    for (auto& range : ranges) {
        const bool started = helpers.start([this, &range] {
            try {
                walk_range_apart(range.begin, range.end, range);
            } catch (...) {
                // Walked again in its turn, where the error is the run's.
            }
        });
        if (!started) {
            break;  // no thread to be had: the rest are walked in their turn
        }
    }
    walk_pages(0, step);
    helpers.join();
    for (auto& range : ranges) {
        if (!take_range(range)) {
            walk_pages(range.begin, range.end);
        }
        range = RangeWalk{};  // its memory back
    }
    return true;
}

bool TableWalk::take_range(RangeWalk& range) {
    if (!range.walked || !cx_.replay(range.report, range.log)) {
        return false;
    }
    const std::size_t base = live_count();
    for (const std::uint32_t first : range.row_first) {
        row_first_.push_back(static_cast<std::uint32_t>(base + first));
    }
    row_numbers_.insert(row_numbers_.end(), range.row_numbers.begin(), range.row_numbers.end());
    states_.put(base * wanted_.size(), range.states, range.row_numbers.size() * wanted_.size());
    const std::size_t before = key_hashes_.size();
    key_hashes_.insert(key_hashes_.end(), range.key_hashes.begin(), range.key_hashes.end());
    if (!range.alt_key_hashes.empty() || !alt_key_hashes_.empty()) {
        alt_key_hashes_.resize(before);
        range.alt_key_hashes.resize(range.key_hashes.size());
        alt_key_hashes_.insert(alt_key_hashes_.end(), range.alt_key_hashes.begin(),
                               range.alt_key_hashes.end());
    }
    if (range.max_autonumber) {
        max_autonumber_ =
            std::max(max_autonumber_.value_or(*range.max_autonumber), *range.max_autonumber);
    }
    lv_used_.insert(lv_used_.end(), range.lv_used.begin(), range.lv_used.end());
    return true;
}

bool TableWalk::foreign_page(const PageBuf& page) const {
    return !page_is_blank(page) && (page[0] != kPageTypeData || le32(page, 4) != tp_);
}

// `read` is the page when it was read already.
void TableWalk::walk_data_page(std::uint32_t n, const PageBuf* read) {
    PageBuf buf = read != nullptr ? *read : cx_.file.read(n);
    if (page_is_blank(buf)) {
        // No rows are there to lose but those an index still lists:
        // entries pointing into the page say so (index-lost-row).
        zeroed_.insert(n);
        const bool unwitnessed = def_.real_indexes.empty() && def_.row_count != 0;
        const std::string text =
            "Page " + std::to_string(n) + ", listed among the pages of " + label() +
            ", holds only zeros." +
            (unwitnessed ? " The table has no index to tell whether rows were lost with it." : "");
        if (unwitnessed) {
            lossy("data-page-zeroed-unwitnessed", n, text, Loss::Kind::page, RowPointer{n, 0});
        } else {
            error("data-page-zeroed", n, text);
        }
        return;
    }
    if (foreign_page(buf)) {
        // Whatever the table kept there is gone; a salvage leaves the page
        // out of the table's map, and to whatever it now belongs.
        lossy("map-page-foreign", n,
              "The owned-pages map of " + label() + " lists page " + std::to_string(n) +
                  ", but that page is " +
                  (buf[0] != kPageTypeData
                       ? "no data page (type " + std::to_string(buf[0]) + ")"
                       : "a data page of the table at page " + std::to_string(le32(buf, 4))) +
                  "; its rows are not this table's.",
              Loss::Kind::page, RowPointer{n, 0});
        return;
    }
    std::optional<DataPage> page;
    try {
        page.emplace(cx_.file, std::move(buf), n);
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
        if (keys_compared()) {
            key_hashes_.resize(live_count() * index_keys_.size());
        }
        if (!alt_key_hashes_.empty()) {
            alt_key_hashes_.resize(key_hashes_.size());
        }
        if (cx_.options.rows != nullptr) {
            cx_.options.rows->row(header, data);
        }
        check_row(header, data, live_count() - 1);
    }
}

bool TableWalk::follow_overflow(RowPointer header, Bytes data, std::vector<std::uint8_t>& out) {
    const std::optional<RowPointer> moved_to = overflow_target(data);
    if (!moved_to) {
        lossy("overflow-bad-target", header.page,
              "The moved row at " + ptr_text(header) + " of " + label() +
                  " is too short to say where its data went.",
              Loss::Kind::row, header);
        return false;
    }
    const RowPointer target = *moved_to;
    if (!contains(owned_, target.page)) {
        // Jet follows the pointer whatever the map says: a data page of the
        // table that nothing else claims, and that holds no live row of its
        // own, is taken in by the next pass, as a page its indexes name is.
        cx_.moved_outside[tp_].insert(target.page);
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
void TableWalk::check_row(RowPointer at, Bytes data, std::size_t row) {
    Lazy what([&] { return "row at " + ptr_text(at) + " of " + label(); });
    // Parsed straight into place (a layout is a few hundred bytes, and this
    // runs for every row); a row that does not parse is parsed again with
    // its description, for the finding.
    static const std::string unnamed;
    bool parsed = true;
    RowLayout layout = [&] {
        try {
            return parse_row_layout(def_, data, unnamed);
        } catch (const Error&) {
            parsed = false;
            return RowLayout{};
        }
    }();
    if (!parsed) {
        try {
            layout = parse_row_layout(def_, data, what());
        } catch (const Error& e) {
            lossy("row-undecodable", at.page, e.what(), Loss::Kind::row, at);
            return;
        }
    }
    std::fill(cell_ok_.begin(), cell_ok_.end(), false);
    for (std::size_t n = 0; n < def_.columns.size(); ++n) {
        const Column& c = def_.columns[n];
        const std::size_t slot = column_slot_[n];
        if (c.is_long_value()) {
            check_long_value(c, at, layout, data);
            if (slot != kNone && keys_compared()) {
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
            if (slot != kNone && keys_compared()) {
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
                           [&](const std::string& w) { return locate_column(c, layout, data, w); },
                           what)) {
                state = CellState::null;
            }
        } catch (const Error& e) {
            lossy("row-undecodable", at.page,
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
    if (keys_compared()) {
        compute_keys(row);
    }
}

// The key hash of the live row `row` in every index whose keys can be
// computed and whose columns all decoded.
void TableWalk::compute_keys(std::size_t row) {
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
        key_hashes_[at] = long_key_hash(key_bytes_);
        if (!ligature) {
            continue;
        }
        // Writers of Jet 4 files count a ligature's positions two ways:
        // either key is the row's.
        key_bytes_.clear();
        if (!encode_index_key(k.fields, key_values_, key_bytes_, TextPositions::per_character)) {
            const std::uint32_t other = long_key_hash(key_bytes_);
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
void TableWalk::sort_page_rows(std::size_t from) {
    const auto first = row_numbers_.begin() + static_cast<std::ptrdiff_t>(from);
    if (std::adjacent_find(first, row_numbers_.end(), std::greater_equal<>()) ==
        row_numbers_.end()) {
        return;
    }
    const std::size_t k = wanted_.size();
    const std::size_t m = keys_compared() ? index_keys_.size() : 0;
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

}  // namespace jet::check_detail
