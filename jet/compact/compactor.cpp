#include "jet/compact/compactor.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "jet/compact/output_file.h"
#include "jet/compact/source_rows.h"
#include "jet/format/bytes.h"
#include "jet/format/catalog.h"
#include "jet/format/data_page.h"
#include "jet/format/data_page_builder.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/header.h"
#include "jet/format/index_builder.h"
#include "jet/format/index_key.h"
#include "jet/format/index_tree.h"
#include "jet/format/joined_threads.h"
#include "jet/format/key_encoder.h"
#include "jet/format/long_value.h"
#include "jet/format/long_value_builder.h"
#include "jet/format/properties.h"
#include "jet/format/row.h"
#include "jet/format/sid_mask.h"
#include "jet/format/table_def.h"
#include "jet/format/table_def_builder.h"
#include "jet/format/usage_map_builder.h"

namespace jet {

namespace {

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// A usage map to be written: the row pointer the TDEF will hold, and its pages.
struct MapSpec {
    std::size_t tdef_offset = 0;  // logical offset of the 4-byte pointer in the TDEF
    std::uint32_t first = 0;      // pages [first, first + count)
    std::uint32_t count = 0;
    RowPointer location;                // assigned holder row
    std::vector<std::uint32_t> blocks;  // reference maps: blocks needing bitmap pages
};

struct TableWork {
    std::uint32_t old_page = 0;
    const TableDef* def = nullptr;
    std::string name;
    std::vector<const Column*> id_columns;
    std::vector<const Column*> lv_columns;
    std::vector<const Column*> sid_columns;  // masked again (only when the password changes)
    std::vector<bool> index_id_keyed;        // per real index
    const Column* autonumber = nullptr;      // the Long column the counter numbers
    std::uint16_t full_columns = 0;          // a row holding fewer is widened (widen_row)
    std::uint64_t widened = 0;               // rows widened so
    std::int64_t max_autonumber = 0;         // the highest value in it (0: none above 0)

    // Plan (page counts).
    std::uint32_t data_pages = 0;
    std::vector<std::uint32_t> lv_pages;      // per lv column
    std::vector<std::uint32_t> index_pages;   // per real index
    std::vector<std::uint32_t> index_leaves;  // per real index
    std::size_t map_count = 0;
    std::uint32_t bitmap_pages = 0;
    std::uint64_t rows = 0;
    LiveRows live;                     // from planning to writing
    std::vector<std::uint32_t> order;  // positions in `live` in writing order; empty: as they are
    std::vector<std::uint16_t> sizes;  // by position in `live`, from planning to placing

    // Layout (new page numbers).
    std::uint32_t tdef_base = 0;
    std::uint32_t data_base = 0;
    std::vector<std::uint32_t> lv_base;
    std::vector<std::uint32_t> index_base;
    std::uint32_t bitmap_base = 0;
    std::uint32_t end = 0;
};

}  // namespace

namespace {

// The real index of the primary key, when the table has one.
std::optional<std::size_t> primary_key_index(const TableDef& def) {
    for (const auto& li : def.logical_indexes) {
        if (li.is_primary_key() && li.real_index < def.real_indexes.size()) {
            return li.real_index;
        }
    }
    return std::nullopt;
}

}  // namespace

bool written_in_scan_order(const TableDef& def, std::string_view table) {
    return def.page == kCatalogPage || iequals(table, "MSysQueries") ||
           !primary_key_index(def).has_value();
}

namespace {

class Compactor {
  public:
    Compactor(const Database& db, OutputFile* out,
              const std::function<void(std::uint64_t, std::uint64_t)>& progress,
              const IndexSet& from_rows, std::uint32_t index_pages_for_threads)
        : db_(db),
          file_(db.file()),
          format_(db.file().format()),
          out_(out),
          progress_(progress),
          from_rows_(from_rows),
          index_pages_for_threads_(index_pages_for_threads),
          cache_(db.file()),
          holder_packer_(format_) {}

    CompactorResult run(const PageBuf& page0);
    // Plans the copy without writing it: its size in pages.
    std::uint32_t plan() {
        find_tables();
        for (auto& t : tables_) {
            plan_table(t);
        }
        layout();
        return page_count_;
    }

  private:
    void find_tables();
    std::optional<std::size_t> order_index(const TableWork& t) const;
    void collect_rows(TableWork& t, std::vector<std::uint16_t>& sizes,
                      IndexLeafWriter* order_counter);
    // Hands the old leaf entries of real index `ri` of `t` to `visit`; throws
    // when the tree is damaged. What rebuilding the tree mends (stale sibling
    // links) is recorded as a repair instead, by the walks of the planning
    // (which walk every index); those of the writing, which may run on
    // several threads at once, change nothing of the compactor.
    void walk_entries(const TableWork& t, std::size_t ri, const IndexEntryVisitor& visit);
    void walk_entries_again(const PageFile& file, const TableWork& t, std::size_t ri,
                            const IndexEntryVisitor& visit) const;
    // The entries of real index `ri` of `t` computed from its live rows, in
    // order (computed once, kept for the later walks).
    const std::vector<IndexEntry>& entries_from_rows(const TableWork& t, std::size_t ri);
    // The stored entries of real index `ri` of `t` that name a live row, in
    // order: its rebuild where its keys cannot be computed.
    std::vector<IndexEntry> entries_of_live_rows(const TableWork& t, std::size_t ri) const;
    // The value of the autonumber column of a live row (0 when null).
    std::int64_t autonumber_of(const TableWork& t, const RowRef& r) const;
    std::vector<IndexEntry> read_entries(const TableWork& t, std::size_t ri) {
        std::vector<IndexEntry> out;
        walk_entries(t, ri, [&](const IndexEntry& e, std::uint32_t) { out.push_back(e); });
        return out;
    }
    std::string where_row(const TableWork& t, RowPointer p) const {
        return "a row of table \"" + t.name + "\" (" + file_.where(p.page) + ", row " +
               std::to_string(p.row) + ")";
    }
    // Row `row` of `t` (found in slot `at`) widened to all of the table's
    // columns, when it holds fewer (widen_row); nothing when it is copied
    // as it is.
    std::optional<std::vector<std::uint8_t>> widened_row(const TableWork& t, Bytes row,
                                                         RowPointer at) const {
        if (stored_column_count(*t.def, row) >= t.full_columns) {
            return std::nullopt;
        }
        return widen_row(*t.def, row, where_row(t, at));
    }
    void plan_table(TableWork& t);
    void layout();
    void build_stale_map();
    // Whether a catalog row of a table names a page of no definition.
    bool stale_table_rows_ = false;
    // Progress: the first half is planning (table by table), the second
    // writing (page by page).
    // Index trees are written on several threads at once; progress is
    // reported by the compactor's own.
    void write_page(std::uint32_t n, const PageBuf& page) {
        std::uint64_t written = 0;
        {
            const std::lock_guard<std::mutex> hold(out_lock_);
            out_->write_page(n, page);
            written = ++written_;
        }
        if (page_count_ != 0 && written % 64 == 0 && std::this_thread::get_id() == owner_) {
            report(kHalf + written * kHalf / page_count_);
        }
    }
    // The writing of a table: its rows and long values (write_rows, which
    // gives each live row its new place), its index trees (IndexJob), then
    // its usage maps and definition (finish_table). A table's trees are
    // written on a thread of their own while its rows are (see run()).
    void write_rows(TableWork& t, const std::vector<std::uint32_t>& placed);
    // The new place of every live row of `t` (by its position in t.live), as
    // write_rows() puts them: known from the rows' sizes before they are.
    std::vector<std::uint32_t> place_rows(const TableWork& t) const;
    struct IndexJob;
    // Starts writing the index trees of `t` on a thread of its own when they
    // are worth one; nothing is written when they are not (or no thread is
    // to be had): complete_indexes() writes them then.
    std::unique_ptr<IndexJob> start_indexes(TableWork& t, std::vector<std::uint32_t> placed);
    // Writes the trees of the job not taken yet on this thread, waits for
    // the job's thread, and finishes its table. Throws what writing a tree
    // threw, as one thread writing them in turn would have: the first.
    void complete_indexes(IndexJob& job);
    // Takes the job's trees, the larger first, until none is left; a tree's
    // failure is kept for complete_indexes().
    void take_trees(IndexJob& job, const PageFile& file);
    void finish_table(TableWork& t, const std::vector<std::uint32_t>& roots,
                      const std::vector<std::uint32_t>& distinct);
    void report(std::uint64_t done) {
        if (progress_) {
            progress_(std::min(done, 2 * kHalf), 2 * kHalf);
        }
    }
    static constexpr std::uint64_t kHalf = 1000;
    std::uint32_t moved_row(const TableWork& t, RowPointer old,
                            const std::vector<std::uint32_t>& placed) const;
    // The same, given the row's position in t.live (LiveRows::npos: none).
    std::uint32_t moved_row(const TableWork& t, RowPointer old, std::size_t i,
                            const std::vector<std::uint32_t>& placed) const;
    // Reads nothing of the compactor that the writing changes: safe to run
    // for several indexes at once. Returns the new root; `entries` receives
    // the number of entries written.
    std::uint32_t write_index(const PageFile& file, const TableWork& t, std::size_t ri,
                              const std::vector<std::uint32_t>& placed, std::uint32_t& distinct,
                              std::uint64_t& entries);
    std::vector<std::uint8_t> remap_key(const std::vector<std::uint8_t>& key, const TableWork& t,
                                        std::size_t ri) const;

    const Database& db_;
    const PageFile& file_;
    const Format& format_;  // the source's, and so the copy's
    OutputFile* out_;       // nullptr when only planning
    const std::function<void(std::uint64_t, std::uint64_t)>& progress_;
    const IndexSet& from_rows_;
    const std::uint32_t index_pages_for_threads_;
    // From the source's SID mask to the copy's, when page 0 changes it.
    std::optional<SidMask> sids_;
    std::map<std::pair<std::uint32_t, std::size_t>, std::vector<IndexEntry>> rebuilt_;
    PageCache cache_;
    std::vector<TableWork> tables_;
    std::set<std::int64_t> id_values_;  // every value seen in an Id column
    IdRemap ids_;
    std::uint32_t page_count_ = 0;
    std::vector<std::uint32_t> global_bitmaps_;
    std::uint32_t holder_base_ = 0;
    std::uint32_t holder_pages_ = 0;
    RowPacker holder_packer_;
    std::vector<std::vector<std::vector<std::uint8_t>>> holder_rows_;
    std::mutex out_lock_;  // out_ and written_, while index trees are written on threads
    std::uint64_t written_ = 0;
    std::thread::id owner_ = std::this_thread::get_id();
    CompactorStats stats_;
    // Repairs, one per table and structure, in the order found.
    std::vector<Repair> repairs_;
    std::map<std::uint32_t, std::uint32_t> raised_counters_;  // old TDEF page -> new counter
    std::set<std::pair<std::uint32_t, std::size_t>> mended_indexes_;
};

std::int64_t Compactor::autonumber_of(const TableWork& t, const RowRef& r) const {
    // The row's place is spelled out only when the row does not decode.
    auto value = [&](const std::string& what) {
        const RowLayout layout = parse_row_layout(*t.def, r.bytes, what);
        const auto span = locate_column(*t.autonumber, layout, r.bytes, what);
        return span && span->length == 4
                   ? std::int64_t{static_cast<std::int32_t>(le32(r.bytes, span->offset))}
                   : std::int64_t{0};
    };
    try {
        const std::string some_row = "a row";
        return value(some_row);
    } catch (const Error&) {
        return value(where_row(t, r.pointer));
    }
}

const std::vector<IndexEntry>& Compactor::entries_from_rows(const TableWork& t, std::size_t ri) {
    const auto at = std::make_pair(t.old_page, ri);
    if (const auto it = rebuilt_.find(at); it != rebuilt_.end()) {
        return it->second;
    }
    const RealIndex& index = t.def->real_indexes[ri];
    std::vector<KeyField> fields;
    std::vector<const Column*> columns;
    bool computable = true;
    for (const auto& ic : index.columns) {
        const Column* c = t.def->column_by_number(ic.number);
        if (c == nullptr) {
            throw Error(ErrorKind::damaged, "Index " + std::to_string(ri) + " of table \"" +
                                                t.name +
                                                "\" is damaged and cannot be rebuilt: it names a "
                                                "column the table does not have.");
        }
        fields.push_back(key_field(*c, ic, db_.header()));
        columns.push_back(c);
        computable = computable && !key_unsupported(fields.back());
    }
    if (!computable) {
        // Keys this program cannot compute: the index is taken as it is,
        // without the entries that name no live row (the check let it
        // through only when that is all that is wrong with it).
        return rebuilt_.emplace(at, entries_of_live_rows(t, ri)).first->second;
    }
    std::vector<IndexEntry> entries;
    std::vector<Value> values(columns.size());
    std::vector<const Value*> pointers(columns.size());
    std::vector<std::uint8_t> key;
    db_.for_each_row(*t.def, [&](const RowRef& r) {
        const std::string what = where_row(t, r.pointer);
        const RowLayout layout = parse_row_layout(*t.def, r.bytes, what);
        for (std::size_t i = 0; i < columns.size(); ++i) {
            values[i] = decode_column(file_, *columns[i], layout, r.bytes, what);
            pointers[i] = &values[i];
        }
        key.clear();
        if (const auto why = encode_index_key(fields, pointers, key)) {
            throw Error(ErrorKind::damaged, "The key of " + what + " in index " +
                                                std::to_string(ri) +
                                                " cannot be computed: " + *why);
        }
        if (index.ignore_nulls() && key_is_all_null(key, columns.size())) {
            return;
        }
        entries.push_back(IndexEntry{key, r.pointer});
    });
    std::sort(entries.begin(), entries.end(), entry_less);
    return rebuilt_.emplace(at, std::move(entries)).first->second;
}

std::vector<IndexEntry> Compactor::entries_of_live_rows(const TableWork& t, std::size_t ri) const {
    std::vector<std::uint32_t> live;
    db_.for_each_row(*t.def, [&](const RowRef& r) { live.push_back(r.pointer.encode()); });
    std::sort(live.begin(), live.end());
    std::vector<IndexEntry> entries;
    std::vector<IndexProblem> stale_fields;  // mended by writing the tree anew
    for_each_index_entry(
        file_, t.def->real_indexes[ri].root_page, t.old_page,
        [&](const IndexEntry& e, std::uint32_t) {
            if (std::binary_search(live.begin(), live.end(), e.row.encode())) {
                entries.push_back(e);
            }
        },
        &stale_fields);
    std::sort(entries.begin(), entries.end(), entry_less);
    for (std::size_t i = 1; i < entries.size(); ++i) {
        if (entries[i - 1].row == entries[i].row) {
            throw Error(ErrorKind::damaged, "Index " + std::to_string(ri) + " of table \"" +
                                                t.name +
                                                "\" lists the same row twice, and its keys "
                                                "cannot be computed to tell which is right.");
        }
    }
    return entries;
}

void Compactor::walk_entries(const TableWork& t, std::size_t ri, const IndexEntryVisitor& visit) {
    if (from_rows_.count({t.old_page, static_cast<std::uint32_t>(ri)}) != 0) {
        for (const IndexEntry& e : entries_from_rows(t, ri)) {
            visit(e, 0);
        }
        return;
    }
    std::vector<IndexProblem> mended;
    for_each_index_entry(file_, t.def->real_indexes[ri].root_page, t.old_page, visit, &mended);
    if (!mended.empty() && mended_indexes_.insert({t.old_page, ri}).second) {
        repairs_.push_back(Repair{mended.front().code, t.name,
                                  "Real index " + std::to_string(ri) + " of table \"" + t.name +
                                      "\" had stale page fields (" + mended.front().description +
                                      "); the index was rebuilt from its entries."});
    }
}

void Compactor::walk_entries_again(const PageFile& file, const TableWork& t, std::size_t ri,
                                   const IndexEntryVisitor& visit) const {
    if (from_rows_.count({t.old_page, static_cast<std::uint32_t>(ri)}) != 0) {
        const auto it = rebuilt_.find({t.old_page, ri});
        if (it == rebuilt_.end()) {
            throw Error(ErrorKind::damaged, "Internal error: index " + std::to_string(ri) +
                                                " of table \"" + t.name +
                                                "\" was not computed from its rows as planned.");
        }
        for (const IndexEntry& e : it->second) {
            visit(e, 0);
        }
        return;
    }
    // Stale page fields were recorded as a repair when the planning walked
    // this tree.
    std::vector<IndexProblem> mended;
    for_each_index_entry(file, t.def->real_indexes[ri].root_page, t.old_page, visit, &mended);
}

void Compactor::find_tables() {
    std::set<std::uint32_t> pages{kCatalogPage};
    std::map<std::uint32_t, std::string> names{{kCatalogPage, "MSysObjects"}};
    for (const auto& obj : db_.catalog().objects()) {
        if (!obj.names_definition() || obj.id <= 0 ||
            static_cast<std::uint32_t>(obj.id) > kMaxTableId) {
            continue;
        }
        const std::uint32_t p = obj.table_page();
        // A catalog row left behind by a dropped table names a page that is
        // no table definition any more: it is a stale Id, not a table.
        if (p < 3 || !db_.holds_table_def(p)) {
            stale_table_rows_ = true;
            continue;
        }
        if (pages.insert(p).second) {
            names[p] = obj.name;
        }
    }
    for (auto p : pages) {
        TableWork t;
        t.old_page = p;
        t.def = &db_.table_def(p);
        t.name = names[p];
        t.full_columns = columns_to_hold_all(*t.def);
        for (const auto& c : t.def->columns) {
            if (is_id_column(t.name, c.name)) {
                if (c.type != static_cast<std::uint8_t>(ColumnType::long_integer)) {
                    throw Error(ErrorKind::damaged, "The column \"" + c.name + "\" of table \"" +
                                                        t.name + "\" in " + file_.where(p) +
                                                        " should be a Long Integer and is not.");
                }
                t.id_columns.push_back(&c);
            }
            if (c.is_long_value()) {
                t.lv_columns.push_back(&c);
            }
            if (sids_ && is_sid_column(t.name, c.name)) {
                if (c.type != static_cast<std::uint8_t>(ColumnType::binary)) {
                    throw Error(ErrorKind::damaged,
                                "The column \"" + c.name + "\" of table \"" + t.name + "\" in " +
                                    file_.where(p) +
                                    " should be a Binary column and is not, so its SIDs cannot "
                                    "be masked again for the new password.");
                }
                t.sid_columns.push_back(&c);
            }
            if ((c.flags & kColumnFlagAutoLong) != 0 &&
                c.type == static_cast<std::uint8_t>(ColumnType::long_integer)) {
                t.autonumber = &c;
            }
        }
        for (const auto& ri : t.def->real_indexes) {
            bool keyed = false;
            for (std::size_t k = 0; k < ri.columns.size(); ++k) {
                for (const Column* c : t.id_columns) {
                    if (c->number == ri.columns[k].number) {
                        if (k != 0) {
                            throw Error(ErrorKind::damaged,
                                        "An index of table \"" + t.name +
                                            "\" has the Id column in a place this compactor "
                                            "cannot rewrite; the file was left alone.");
                        }
                        keyed = true;
                    }
                }
            }
            t.index_id_keyed.push_back(keyed);
            for (const auto& ic : ri.columns) {
                for (const Column* c : t.sid_columns) {
                    if (c->number == ic.number) {
                        throw Error(ErrorKind::damaged,
                                    "An index of table \"" + t.name + "\" covers its column \"" +
                                        c->name +
                                        "\", whose SIDs a new password masks again; this "
                                        "compactor cannot rewrite the keys of that index, so it "
                                        "cannot change the password of this database. Compact it "
                                        "keeping its password.");
                    }
                }
            }
        }
        tables_.push_back(std::move(t));
    }
}

std::optional<std::size_t> Compactor::order_index(const TableWork& t) const {
    // Primary-key order, as Access writes a compacted table, but for the
    // tables whose rows' order carries meaning.
    if (written_in_scan_order(*t.def, t.name)) {
        return std::nullopt;
    }
    return primary_key_index(*t.def);
}

// The live rows of a table and the order to write them in: primary-key
// order where the table has a primary key (rows the key does not list
// follow in storage order), storage order otherwise. `sizes` receives the
// length of each row, by position in t.live; `order_counter` (may be null)
// is handed the entries of the primary-key index on the way.
void Compactor::collect_rows(TableWork& t, std::vector<std::uint16_t>& sizes,
                             IndexLeafWriter* order_counter) {
    t.live.clear();
    t.order.clear();
    sizes.clear();
    // The stored row count is a hint only (it may be stale); growing the
    // arrays of a table of millions of rows twice over costs more.
    const std::size_t hint = std::min<std::size_t>(t.def->row_count, std::size_t{1} << 26);
    t.live.reserve(hint);
    sizes.reserve(hint);
    t.max_autonumber = 0;
    t.widened = 0;
    db_.for_each_row(*t.def, [&](const RowRef& r) {
        t.live.add(r.pointer, r.data);
        std::size_t size = r.bytes.size();
        if (const auto wide = widened_row(t, r.bytes, r.pointer)) {
            size = wide->size();
            ++t.widened;
        }
        sizes.push_back(static_cast<std::uint16_t>(std::min<std::size_t>(size, 0xFFFF)));
        if (t.autonumber != nullptr) {
            t.max_autonumber = std::max(t.max_autonumber, autonumber_of(t, r));
        }
    });
    t.live.sort(sizes);
    const auto order = order_index(t);
    if (!order || t.live.size() == 0) {
        return;
    }
    t.live.index();
    // The order is kept only from the first row out of storage order on:
    // a table already in key order (a compacted one) needs no list.
    std::size_t placed = 0;
    auto place = [&](std::size_t i) {
        if (t.order.empty() && i != placed) {
            t.order.reserve(t.live.size());
            for (std::size_t k = 0; k < placed; ++k) {
                t.order.push_back(static_cast<std::uint32_t>(k));
            }
        }
        if (!t.order.empty() || i != placed) {
            t.order.push_back(static_cast<std::uint32_t>(i));
        }
        ++placed;
    };
    std::vector<bool> taken(t.live.size(), false);
    RowLookups lookups;
    auto take_batch = [&]() {
        lookups.find_in(t.live);
        for (std::size_t k = 0; k < lookups.size(); ++k) {
            const std::size_t i = lookups.found(k);
            if (i != LiveRows::npos && !taken[i]) {
                taken[i] = true;
                place(i);
            }
        }
        lookups.clear();
    };
    walk_entries(t, *order, [&](const IndexEntry& e, std::uint32_t) {
        if (order_counter != nullptr) {
            order_counter->add(e);
        }
        if (lookups.add(e.row)) {
            take_batch();
        }
    });
    take_batch();
    for (std::size_t i = 0; i < taken.size(); ++i) {
        if (!taken[i]) {
            place(i);
        }
    }
    t.live.drop_index();
}

void Compactor::plan_table(TableWork& t) {
    // Index trees keep their shape when their keys keep their order: the old
    // entries are counted into leaves, the primary key's while it gives the
    // rows their order.
    const auto order = order_index(t);
    std::vector<std::optional<IndexLeafWriter>> counters(t.def->real_indexes.size());
    for (std::size_t ri = 0; ri < counters.size(); ++ri) {
        if (!t.index_id_keyed[ri]) {
            counters[ri].emplace(format_, true, 0, 0);
        }
    }
    std::vector<std::uint16_t> sizes;
    collect_rows(t, sizes, order && counters[*order] ? &*counters[*order] : nullptr);
    t.rows = t.live.size();
    RowPacker data(format_);
    std::vector<RowPacker> lv(t.lv_columns.size(), RowPacker(format_));
    const bool per_row = !t.lv_columns.empty() || !t.id_columns.empty();
    for (std::size_t k = 0; k < t.live.size(); ++k) {
        const std::size_t i = t.order.empty() ? k : t.order[k];
        if (!per_row) {
            data.add(sizes[i]);
            continue;
        }
        const RowPointer at = t.live.data(i);
        const Bytes bytes = cache_.row(at);
        data.add(sizes[i]);
        const std::string what = where_row(t, RowPointer::decode(t.live.slot(i)));
        const RowLayout layout = parse_row_layout(*t.def, bytes, what);
        for (std::size_t c = 0; c < t.lv_columns.size(); ++c) {
            const auto span = locate_column(*t.lv_columns[c], layout, bytes, what);
            if (!span || span->length == 0) {
                continue;
            }
            plan_long_value(
                LongValueDescriptor::parse(bytes.subspan(span->offset, span->length), what), lv[c]);
        }
        for (const Column* c : t.id_columns) {
            const auto span = locate_column(*c, layout, bytes, what);
            if (span && span->length == 4) {
                id_values_.insert(static_cast<std::int32_t>(le32(bytes, span->offset)));
            }
        }
    }
    t.sizes = std::move(sizes);
    t.data_pages = static_cast<std::uint32_t>(data.page_count());
    for (auto& p : lv) {
        t.lv_pages.push_back(static_cast<std::uint32_t>(p.page_count()));
    }
    for (std::size_t ri = 0; ri < t.def->real_indexes.size(); ++ri) {
        if (t.index_id_keyed[ri]) {
            // Keys over Id columns change once the layout is known: stored
            // whole, their size does not depend on the new values.
            const auto plan = plan_index_tree(format_, read_entries(t, ri), false);
            t.index_pages.push_back(static_cast<std::uint32_t>(plan.page_count()));
            t.index_leaves.push_back(static_cast<std::uint32_t>(plan.levels[0].size()));
            continue;
        }
        // The keys keep their order; only row pointers change, and those have
        // a fixed size: the old entries give the new tree's shape.
        IndexLeafWriter& counter = *counters[ri];
        if (!(order && ri == *order && t.live.size() != 0)) {
            walk_entries(t, ri, [&](const IndexEntry& e, std::uint32_t) { counter.add(e); });
        }
        const auto lasts = counter.finish();
        const auto plan = plan_index_nodes(format_, lasts, counter.leaf_count(), true);
        t.index_pages.push_back(static_cast<std::uint32_t>(plan.page_count()));
        t.index_leaves.push_back(static_cast<std::uint32_t>(counter.leaf_count()));
    }
    // Map rows: one per usage map the definition points to.
    std::size_t maps = 0;
    maps += t.def->owned_map.page != 0;
    maps += t.def->free_map.page != 0;
    for (const auto& ri : t.def->real_indexes) {
        maps += ri.map.page != 0;
    }
    for (const auto& lvm : t.def->long_value_maps) {
        maps += lvm.owned.page != 0;
        maps += lvm.free.page != 0;
    }
    t.map_count = maps;
}

void Compactor::layout() {
    std::uint32_t cursor = 2;
    for (auto& t : tables_) {
        t.tdef_base = cursor;
        cursor += static_cast<std::uint32_t>(t.def->pages.size());
        if (t.old_page == kCatalogPage) {
            // Every map row of every table, packed onto shared holder pages
            // right after the catalog's definition.
            RowPacker holders(format_);
            for (const auto& u : tables_) {
                for (std::size_t i = 0; i < u.map_count; ++i) {
                    holders.add(format_.map_row_length);
                }
            }
            holder_base_ = cursor;
            holder_pages_ = static_cast<std::uint32_t>(holders.page_count());
            cursor += holder_pages_;
        }
        t.data_base = cursor;
        cursor += t.data_pages;
        t.lv_base.clear();
        for (auto n : t.lv_pages) {
            t.lv_base.push_back(cursor);
            cursor += n;
        }
        t.index_base.clear();
        for (auto n : t.index_pages) {
            t.index_base.push_back(cursor);
            cursor += n;
        }
        // Bitmap pages for maps too wide to be inline.
        auto blocks_for = [this](std::uint32_t first, std::uint32_t count) -> std::size_t {
            if (count == 0) {
                return 0;
            }
            std::vector<std::uint32_t> pages{first, first + count - 1};
            if (fits_inline_map(format_, pages)) {
                return 0;
            }
            const std::uint32_t per_page = format_.pages_per_bitmap_page();
            return (first + count - 1) / per_page - first / per_page + 1;
        };
        std::size_t bitmaps = 0;
        if (t.def->owned_map.page != 0) {
            bitmaps += blocks_for(t.data_base, t.data_pages);
        }
        for (std::size_t ri = 0; ri < t.index_pages.size(); ++ri) {
            if (t.def->real_indexes[ri].map.page != 0) {
                bitmaps += blocks_for(t.index_base[ri], t.index_pages[ri]);
            }
        }
        for (std::size_t c = 0; c < t.lv_columns.size(); ++c) {
            const auto* lvm = t.def->long_value_maps_for(t.lv_columns[c]->number);
            if (lvm != nullptr && lvm->owned.page != 0) {
                bitmaps += blocks_for(t.lv_base[c], t.lv_pages[c]);
            }
        }
        t.bitmap_base = cursor;
        t.bitmap_pages = static_cast<std::uint32_t>(bitmaps);
        cursor += t.bitmap_pages;
        t.end = cursor;
        ids_.tables[t.old_page] = t.tdef_base;
    }
    const auto global = plan_global_map(format_, cursor);
    global_bitmaps_.clear();
    for (std::uint32_t k = 0; k < global.bitmap_page_count; ++k) {
        global_bitmaps_.push_back(cursor + k);
    }
    page_count_ = cursor + global.bitmap_page_count;
    if (page_count_ > format_.max_pages) {
        throw Error(ErrorKind::too_large,
                    "The compacted database would need " + std::to_string(page_count_) +
                        " pages, more than the " + std::to_string(format_.max_pages) + " (" +
                        std::to_string(format_.max_pages * format_.page_size >> 30) +
                        " GB) an Access database of its format can hold.");
    }
}

void Compactor::build_stale_map() {
    std::set<std::uint32_t> new_tables;
    for (const auto& [from, to] : ids_.tables) {
        new_tables.insert(to);
    }
    std::uint32_t next = page_count_;
    for (auto v : id_values_) {
        if (v <= 0 || v > kMaxTableId) {
            continue;
        }
        const auto u = static_cast<std::uint32_t>(v);
        if (ids_.tables.count(u) != 0 || new_tables.count(u) == 0) {
            continue;
        }
        // A stale Id that would name a live table: give it a number past
        // the end of the file that no other Id uses.
        while (id_values_.count(next) != 0 || new_tables.count(next) != 0) {
            ++next;
        }
        ids_.stale[u] = next++;
    }
}

std::vector<std::uint8_t> Compactor::remap_key(const std::vector<std::uint8_t>& key,
                                               const TableWork& t, std::size_t ri) const {
    if (!t.index_id_keyed[ri] || key.empty()) {
        return key;
    }
    std::size_t offset = 0;
    const auto value = read_integer_key(key, offset, 4);
    if (!value) {
        return key;
    }
    const std::int64_t mapped = ids_.apply(*value);
    if (mapped == *value) {
        return key;
    }
    std::vector<std::uint8_t> out;
    append_integer_key(out, mapped, 4, key[0] == kKeyAscending);
    out.insert(out.end(), key.begin() + static_cast<std::ptrdiff_t>(offset), key.end());
    return out;
}

// The new pointer of the row an index entry of `t` names.
std::uint32_t Compactor::moved_row(const TableWork& t, RowPointer old,
                                   const std::vector<std::uint32_t>& placed) const {
    return moved_row(t, old, t.live.find(old), placed);
}

std::uint32_t Compactor::moved_row(const TableWork& t, RowPointer old, std::size_t i,
                                   const std::vector<std::uint32_t>& placed) const {
    if (i == LiveRows::npos) {
        throw Error(ErrorKind::damaged,
                    "An index of table \"" + t.name + "\" names a row that does not exist (" +
                        file_.where(old.page) + ", row " + std::to_string(old.row) +
                        "). Repair the database before compacting it.");
    }
    return placed[i];
}

// Rebuilds real index `ri` of `t` from its old leaf entries, the rows named
// through `placed`; returns the new root and counts the distinct keys.
std::uint32_t Compactor::write_index(const PageFile& file, const TableWork& t, std::size_t ri,
                                     const std::vector<std::uint32_t>& placed,
                                     std::uint32_t& distinct, std::uint64_t& entry_count) {
    const std::uint32_t new_tdef = t.tdef_base;
    std::vector<std::uint32_t> pages(t.index_pages[ri]);
    for (std::size_t k = 0; k < pages.size(); ++k) {
        pages[k] = t.index_base[ri] + static_cast<std::uint32_t>(k);
    }
    auto sink = [&](std::uint32_t n, const PageBuf& page) { write_page(n, page); };
    auto same_row_twice = [&]() {
        return Error(ErrorKind::damaged, "An index of table \"" + t.name +
                                             "\" lists the same row twice. Repair the "
                                             "database before compacting it.");
    };
    distinct = 0;
    if (t.index_id_keyed[ri]) {
        // Id keys change value, so the entries change order: a system
        // table's index, small enough to sort whole.
        std::vector<IndexEntry> entries;
        walk_entries_again(file, t, ri,
                           [&](const IndexEntry& e, std::uint32_t) { entries.push_back(e); });
        for (auto& e : entries) {
            e.row = RowPointer::decode(moved_row(t, e.row, placed));
            e.key = remap_key(e.key, t, ri);
        }
        std::sort(entries.begin(), entries.end(), entry_less);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i > 0 && compare_entries(entries[i - 1], entries[i]) >= 0) {
                throw same_row_twice();
            }
            if (i == 0 || compare_keys(entries[i - 1].key, entries[i].key) != 0) {
                ++distinct;
            }
        }
        entry_count = entries.size();
        const auto plan = plan_index_tree(format_, entries, false);
        if (plan.page_count() != pages.size()) {
            throw Error(ErrorKind::damaged, "Internal error: an index of table \"" + t.name +
                                                "\" did not come out as planned.");
        }
        return write_index_tree(plan, entries, pages, new_tdef, sink);
    }
    // Other keys keep their order: the old entries stream through, each run
    // of equal keys re-sorted by its rows' new places.
    IndexLeafWriter leaves(format_, true, t.index_base[ri], new_tdef, sink);
    std::vector<IndexEntry> run;
    std::size_t run_size = 0;
    auto flush_run = [&]() {
        if (run_size == 0) {
            return;
        }
        ++distinct;
        const auto end = run.begin() + static_cast<std::ptrdiff_t>(run_size);
        if (run_size > 1) {
            std::sort(run.begin(), end, [](const IndexEntry& x, const IndexEntry& y) {
                return x.row.encode() < y.row.encode();
            });
        }
        for (auto it = run.begin(); it != end; ++it) {
            if (it != run.begin() && (it - 1)->row == it->row) {
                throw same_row_twice();
            }
            leaves.add(*it);
        }
        run_size = 0;
    };
    // The entries are taken in batches whose rows are looked up together.
    RowLookups lookups;
    std::vector<IndexEntry> batch(RowLookups::kBatch);
    auto take_batch = [&]() {
        lookups.find_in(t.live);
        for (std::size_t k = 0; k < lookups.size(); ++k) {
            if (lookups.found(k) != LiveRows::npos) {
                __builtin_prefetch(placed.data() + lookups.found(k));
            }
        }
        for (std::size_t k = 0; k < lookups.size(); ++k) {
            IndexEntry& e = batch[k];
            if (run_size > 0 && compare_keys(run.front().key, e.key) != 0) {
                flush_run();
            }
            if (run.size() <= run_size) {
                run.emplace_back();
            }
            IndexEntry& slot = run[run_size++];
            slot.key.swap(e.key);
            slot.row = RowPointer::decode(moved_row(t, e.row, lookups.found(k), placed));
        }
        lookups.clear();
    };
    try {
        walk_entries_again(file, t, ri, [&](const IndexEntry& e, std::uint32_t) {
            IndexEntry& b = batch[lookups.size()];
            b.key.assign(e.key.begin(), e.key.end());
            b.row = e.row;
            if (lookups.add(e.row)) {
                take_batch();
            }
        });
    } catch (const Error&) {
        // The entries read before the damage come first: what is wrong
        // with one of them is said before it.
        take_batch();
        throw;
    }
    take_batch();
    flush_run();
    const auto lasts = leaves.finish();
    entry_count = leaves.entry_count();
    const auto plan = plan_index_nodes(format_, lasts, leaves.leaf_count(), true);
    if (leaves.leaf_count() != t.index_leaves[ri] || plan.page_count() != pages.size()) {
        throw Error(ErrorKind::damaged, "Internal error: an index of table \"" + t.name +
                                            "\" did not come out as planned.");
    }
    return write_index_nodes(plan, lasts, pages, new_tdef, sink);
}

// The index trees of one table as they are written: taken one at a time,
// the larger first, by whichever thread is free.
struct Compactor::IndexJob {
    TableWork* t = nullptr;
    std::vector<std::uint32_t> placed;  // the new place of every live row of t
    std::vector<std::size_t> order;     // the trees, larger first
    std::atomic<std::size_t> next{0};   // in `order`, the next tree to take
    std::vector<std::uint32_t> roots;
    std::vector<std::uint32_t> distinct;
    std::vector<std::uint64_t> entries;
    std::vector<std::exception_ptr> failed;
    JoinedThreads worker;  // last: joined before the rest goes
};

std::unique_ptr<Compactor::IndexJob> Compactor::start_indexes(TableWork& t,
                                                              std::vector<std::uint32_t> placed) {
    auto job = std::make_unique<IndexJob>();
    const std::size_t n = t.def->real_indexes.size();
    job->t = &t;
    job->placed = std::move(placed);
    job->roots.assign(n, 0);
    job->distinct.assign(n, 0);
    job->entries.assign(n, 0);
    job->failed.resize(n);
    job->order.resize(n);
    std::iota(job->order.begin(), job->order.end(), std::size_t{0});
    std::stable_sort(job->order.begin(), job->order.end(), [&](std::size_t a, std::size_t b) {
        return t.index_pages[a] > t.index_pages[b];
    });
    if (n != 0) {
        t.live.index();
    }
    // A thread costs more than writing small trees: a small table's are
    // written by this thread when it completes the job.
    std::uint64_t pages = 0;
    for (const auto p : t.index_pages) {
        pages += p;
    }
    if (n != 0 && pages >= index_pages_for_threads_ && std::thread::hardware_concurrency() != 1) {
        // The thread reads the source through a reader of its own.
        job->worker.start([this, &job = *job, reader = file_.reader_for_another_thread()] {
            take_trees(job, reader);
        });
    }
    return job;
}

void Compactor::take_trees(IndexJob& job, const PageFile& file) {
    for (std::size_t k = job.next++; k < job.order.size(); k = job.next++) {
        const std::size_t ri = job.order[k];
        try {
            job.roots[ri] =
                write_index(file, *job.t, ri, job.placed, job.distinct[ri], job.entries[ri]);
        } catch (...) {
            job.failed[ri] = std::current_exception();
        }
    }
}

void Compactor::complete_indexes(IndexJob& job) {
    take_trees(job, file_);
    job.worker.join();
    // As one thread writing them in turn would have failed: at the first.
    for (std::size_t ri = 0; ri < job.failed.size(); ++ri) {
        if (job.failed[ri]) {
            std::rethrow_exception(job.failed[ri]);
        }
        stats_.index_entries += job.entries[ri];
    }
    job.t->live.clear();
    std::vector<std::uint32_t>().swap(job.placed);
    finish_table(*job.t, job.roots, job.distinct);
}

std::vector<std::uint32_t> Compactor::place_rows(const TableWork& t) const {
    std::vector<std::uint32_t> placed(t.live.size());
    RowPacker data(format_);
    for (std::size_t w = 0; w < t.live.size(); ++w) {
        const std::size_t i = t.order.empty() ? w : t.order[w];
        const RowPlace place = data.add(t.sizes[i]);
        placed[i] = RowPointer{t.data_base + place.page_index, place.slot}.encode();
    }
    return placed;
}

void Compactor::write_rows(TableWork& t, const std::vector<std::uint32_t>& placed) {
    const std::uint32_t new_tdef = t.tdef_base;

    // Data pages and long values. Row buffers are reused from page to page.
    RowPacker data(format_);
    std::vector<std::vector<std::uint8_t>> page_rows;
    std::size_t page_count = 0;
    std::uint32_t page_index = 0;
    auto flush_data = [&]() {
        if (page_count != 0) {
            write_page(t.data_base + page_index,
                       build_data_page(format_, std::span(page_rows.data(), page_count), new_tdef));
            page_count = 0;
        }
    };
    auto sink = [&](std::uint32_t n, const PageBuf& page) { write_page(n, page); };
    std::vector<LongValueWriter> lv;
    lv.reserve(t.lv_columns.size());
    for (std::size_t c = 0; c < t.lv_columns.size(); ++c) {
        lv.emplace_back(format_, t.lv_base[c], sink);
    }

    for (std::size_t w = 0; w < t.live.size(); ++w) {
        const std::size_t i = t.order.empty() ? w : t.order[w];
        const Bytes src = cache_.row(t.live.data(i));
        auto wide = widened_row(t, src, RowPointer::decode(t.live.slot(i)));
        const RowPlace place = data.add(wide ? wide->size() : src.size());
        if (place.page_index != page_index) {
            flush_data();
            page_index = place.page_index;
        }
        if (page_rows.size() <= page_count) {
            page_rows.emplace_back();
        }
        std::vector<std::uint8_t>& bytes = page_rows[page_count++];
        if (wide) {
            bytes = std::move(*wide);
        } else {
            bytes.assign(src.begin(), src.end());
        }
        if (placed[i] != RowPointer{t.data_base + place.page_index, place.slot}.encode()) {
            throw Error(ErrorKind::damaged, "Internal error: a row of table \"" + t.name +
                                                "\" did not go where its indexes were told.");
        }
        if (!t.lv_columns.empty() || !t.id_columns.empty() || !t.sid_columns.empty()) {
            const std::string what = where_row(t, RowPointer::decode(t.live.slot(i)));
            // The values are read from, and written into, the row as it is
            // written (widened or not): the same values, maybe moved.
            const Bytes row(bytes.data(), bytes.size());
            const RowLayout layout = parse_row_layout(*t.def, row, what);
            for (std::size_t c = 0; c < t.lv_columns.size(); ++c) {
                const auto span = locate_column(*t.lv_columns[c], layout, row, what);
                if (!span || span->length == 0) {
                    continue;
                }
                const Bytes field = row.subspan(span->offset, span->length);
                const auto d = LongValueDescriptor::parse(field, what);
                if (d.kind == static_cast<std::uint8_t>(LongValueKind::inline_value)) {
                    continue;
                }
                const auto value = read_long_value(file_, d, what);
                ++stats_.long_values;
                const auto stored = lv[c].store(field, value);
                std::copy(stored.begin(), stored.end(),
                          bytes.begin() + static_cast<std::ptrdiff_t>(span->offset));
            }
            for (const Column* c : t.id_columns) {
                const auto span = locate_column(*c, layout, row, what);
                if (!span || span->length == 0) {
                    continue;
                }
                if (span->length != 4) {
                    throw Error(ErrorKind::damaged, "The Id column \"" + c->name + "\" in " + what +
                                                        " is not 4 bytes long.");
                }
                const auto v = static_cast<std::int32_t>(le32(bytes, span->offset));
                const auto mapped = static_cast<std::uint32_t>(ids_.apply(v));
                put_le32(bytes, span->offset, mapped);
            }
            for (const Column* c : t.sid_columns) {
                if (const auto span = locate_column(*c, layout, row, what)) {
                    sids_->apply(MutableBytes(bytes).subspan(span->offset, span->length));
                }
            }
        }
    }
    flush_data();
    for (std::size_t c = 0; c < lv.size(); ++c) {
        if (lv[c].finish() != t.lv_pages[c]) {
            throw Error(ErrorKind::damaged, "Internal error: the long values of table \"" + t.name +
                                                "\" did not come out as planned.");
        }
    }
    if (data.page_count() != t.data_pages || t.live.size() != t.rows) {
        throw Error(ErrorKind::damaged, "Internal error: the rows of table \"" + t.name +
                                            "\" did not come out as planned.");
    }
    stats_.rows += t.live.size();
    std::vector<std::uint32_t>().swap(t.order);
    std::vector<std::vector<std::uint8_t>>().swap(page_rows);
}

void Compactor::finish_table(TableWork& t, const std::vector<std::uint32_t>& roots,
                             const std::vector<std::uint32_t>& distinct) {
    const std::uint32_t new_tdef = t.tdef_base;
    TableDefBuilder tdef(*t.def);
    for (std::size_t ri = 0; ri < roots.size(); ++ri) {
        tdef.set_index(ri, roots[ri], static_cast<std::uint32_t>(t.rows), distinct[ri]);
    }

    // Usage maps: collect, place on holder pages, write.
    std::vector<MapSpec> maps;
    auto add_map = [&](RowPointer ptr, std::size_t offset, std::uint32_t first,
                       std::uint32_t count) {
        if (ptr.page != 0) {
            maps.push_back(MapSpec{offset, first, count, {}, {}});
        }
    };
    add_map(t.def->owned_map, format_.tdef.owned_map, t.data_base, t.data_pages);
    add_map(t.def->free_map, format_.tdef.free_map,
            t.data_pages ? t.data_base + t.data_pages - 1 : 0, t.data_pages ? 1 : 0);
    for (std::size_t ri = 0; ri < t.def->real_indexes.size(); ++ri) {
        add_map(t.def->real_indexes[ri].map, t.def->real_indexes[ri].map_offset(), t.index_base[ri],
                t.index_pages[ri]);
    }
    for (const auto& lvm : t.def->long_value_maps) {
        std::uint32_t first = 0;
        std::uint32_t count = 0;
        for (std::size_t c = 0; c < t.lv_columns.size(); ++c) {
            if (t.lv_columns[c]->number == lvm.column) {
                first = t.lv_base[c];
                count = t.lv_pages[c];
            }
        }
        add_map(lvm.owned, lvm.owned_offset(), first, count);
        add_map(lvm.free, lvm.free_offset(), count ? first + count - 1 : 0, count ? 1 : 0);
    }
    std::uint32_t next_bitmap = t.bitmap_base;
    for (auto& m : maps) {
        const RowPlace place = holder_packer_.add(format_.map_row_length);
        m.location = RowPointer{holder_base_ + place.page_index, place.slot};
        std::vector<std::uint32_t> pages(m.count);
        for (std::uint32_t k = 0; k < m.count; ++k) {
            pages[k] = m.first + k;
        }
        std::vector<std::uint8_t> row;
        if (fits_inline_map(format_, pages)) {
            row = build_inline_map_row(format_, pages);
        } else {
            std::vector<std::uint32_t> refs;
            for (auto block : bitmap_blocks_of(format_, pages)) {
                if (block >= format_.reference_map_entries()) {
                    throw Error(ErrorKind::damaged, "Internal error: map block out of range.");
                }
                refs.resize(std::max<std::size_t>(refs.size(), block + 1), 0);
                refs[block] = next_bitmap;
                write_page(next_bitmap, build_bitmap_page(format_, block, pages));
                ++next_bitmap;
            }
            row = build_reference_map_row(format_, refs);
        }
        holder_rows_.resize(std::max<std::size_t>(holder_rows_.size(), place.page_index + 1));
        holder_rows_[place.page_index].push_back(std::move(row));
        tdef.set_map(m.tdef_offset, m.location);
    }
    if (next_bitmap != t.bitmap_base + t.bitmap_pages) {
        throw Error(ErrorKind::damaged,
                    "Internal error: the usage maps of table \"" + t.name + "\" did not fit.");
    }

    // The definition itself. An autonumber counter behind the highest value
    // in use would hand out numbers already taken: it is raised to that
    // value (one that is ahead is kept, so no number comes round twice). A
    // column whose new values are random is numbered by no counter: its
    // counter is kept as it stands.
    tdef.set_row_count(static_cast<std::uint32_t>(t.rows));
    if (t.autonumber != nullptr &&
        t.max_autonumber > static_cast<std::int64_t>(t.def->autonumber) &&
        !takes_random_numbers(db_, t.old_page, t.autonumber->name)) {
        const auto raised = static_cast<std::uint32_t>(t.max_autonumber);
        tdef.set_autonumber(raised);
        raised_counters_[t.old_page] = raised;
        repairs_.push_back(Repair{"autonumber-behind", t.name,
                                  "The autonumber counter of table \"" + t.name + "\" stood at " +
                                      std::to_string(t.def->autonumber) +
                                      ", below the highest value in use; it was raised to " +
                                      std::to_string(raised) + "."});
    }
    for (std::size_t k = 0; k < t.def->logical_indexes.size(); ++k) {
        const LogicalIndex& li = t.def->logical_indexes[k];
        if (li.is_foreign_key() && ids_.tables.count(li.rel_table_page) == 0) {
            // The check let through only a dropped table's leftover here.
            tdef.clear_relationship(k);
            repairs_.push_back(Repair{
                "fk-stale", t.name,
                "The relationship index \"" + li.name + "\" of table \"" + t.name +
                    "\" named table page " + std::to_string(li.rel_table_page) +
                    ", the definition of a table no row of the catalog names (a dropped "
                    "table's leftover); the copy keeps the index without the relationship."});
        }
    }
    tdef.remap_related_tables(ids_.tables);
    for (std::size_t k = 0; k < tdef.page_count(); ++k) {
        write_page(new_tdef + static_cast<std::uint32_t>(k),
                   tdef.page(k, file_.read(t.def->pages[k]), new_tdef));
    }
}

CompactorResult Compactor::run(const PageBuf& page0) {
    stats_.source_pages = file_.page_count();
    if (page0 != db_.header().raw) {
        PageBuf plain = page0;
        toggle_header_mask(MutableBytes(plain.data(), plain.size()));
        SidMask change(sid_key(db_.header().plain), sid_key(plain));
        if (!change.is_identity()) {
            sids_.emplace(std::move(change));
        }
    }
    find_tables();
    for (std::size_t i = 0; i < tables_.size(); ++i) {
        plan_table(tables_[i]);
        report((i + 1) * kHalf / tables_.size());
    }
    layout();
    build_stale_map();
    write_page(0, page0);
    write_page(1, build_page_one(format_, page_count_, global_bitmaps_));
    for (std::size_t k = 0; k < global_bitmaps_.size(); ++k) {
        write_page(global_bitmaps_[k],
                   build_global_bitmap_page(format_, static_cast<std::uint32_t>(k), page_count_));
    }
    // A table's index trees need only its rows' new places, which their
    // sizes give: the trees are written on a thread of their own while this
    // one writes the rows, then takes the trees left and finishes the table
    // (its maps and definition), before the next table starts. What fails
    // is reported as writing rows, then trees, table after table would
    // have: a table's rows before its trees.
    for (auto& t : tables_) {
        const std::unique_ptr<IndexJob> trees = start_indexes(t, place_rows(t));
        std::vector<std::uint16_t>().swap(t.sizes);
        write_rows(t, trees->placed);
        complete_indexes(*trees);
    }
    if (holder_rows_.size() != holder_pages_) {
        throw Error(ErrorKind::damaged, "Internal error: the usage maps did not fit as planned.");
    }
    for (std::uint32_t k = 0; k < holder_pages_; ++k) {
        write_page(holder_base_ + k, build_data_page(format_, holder_rows_[k], 0));
    }
    if (written_ != page_count_) {
        throw Error(ErrorKind::damaged, "Internal error: " + std::to_string(written_) +
                                            " pages written for " + std::to_string(page_count_) +
                                            " planned.");
    }
    stats_.pages = page_count_;
    if (progress_) {
        progress_(2 * kHalf, 2 * kHalf);
    }
    std::set<std::int64_t> objects;
    for (const auto& obj : db_.catalog().objects()) {
        objects.insert(obj.id);
    }
    bool stale = stale_table_rows_;
    for (auto v : id_values_) {
        stale = stale || objects.count(v) == 0;
    }
    std::set<std::uint32_t> widened;
    for (const auto& t : tables_) {
        if (t.widened != 0) {
            widened.insert(t.old_page);
        }
    }
    return CompactorResult{ids_, stale, stats_, repairs_, raised_counters_, std::move(widened)};
}

}  // namespace

CompactorResult write_compacted(const Database& source, OutputFile& out, const PageBuf& page0,
                                const std::function<void(std::uint64_t, std::uint64_t)>& progress,
                                const IndexSet& from_rows, std::uint32_t index_pages_for_threads) {
    Compactor c(source, &out, progress, from_rows, index_pages_for_threads);
    return c.run(page0);
}

std::uint32_t plan_compacted_pages(const Database& source, const IndexSet& from_rows) {
    const std::function<void(std::uint64_t, std::uint64_t)> none;
    Compactor c(source, nullptr, none, from_rows, 0);
    return c.plan();
}

}  // namespace jet
