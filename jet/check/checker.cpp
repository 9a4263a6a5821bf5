#include "jet/check/checker.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <set>

#include "jet/check/checker_context.h"
#include "jet/check/findings.h"
#include "jet/format/catalog.h"
#include "jet/format/data_page.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/header.h"
#include "jet/format/usage_map.h"

namespace jet {

namespace check_detail {

namespace {
// More findings of one code than this are summed up in one line.
constexpr std::size_t kFindingsPerCode = 40;
}  // namespace

Context::Context(const Database& database, const CheckOptions& opts, CheckReport& out, Log* log)
    : db(database),
      file(database.file()),
      options(opts),
      report(out),
      claims(log != nullptr ? 0 : database.file().page_count()),
      log_(log) {}

void PageClaims::add(std::uint32_t page, Claim c) {
    if (page < first_.size()) {
        First& f = first_[page];
        if (!f.claimed()) {
            f = {c.table, static_cast<std::uint8_t>(c.role)};
            return;
        }
        if (f.table == c.table && f.role == static_cast<std::uint8_t>(c.role)) {
            return;
        }
    }
    auto& more = more_[page];
    if (std::find(more.begin(), more.end(), c) == more.end()) {
        more.push_back(c);
    }
}

void Context::add(Severity s, const std::string& code, std::uint32_t page, const std::string& table,
                  const std::string& text,
                  std::optional<std::pair<std::uint32_t, std::uint32_t>> index, const Loss* loss) {
    if (loss != nullptr && lost_.insert(*loss).second) {
        report.losses.push_back(*loss);
    }
    if (index && s == Severity::error) {
        const FindingKind* kind = finding_kind(code);
        if (kind != nullptr && kind->remedy == Remedy::rebuild) {
            report.damaged_indexes.insert(*index);
            if (code != "index-dangling-entry") {
                report.damaged_beyond_dangling.insert(*index);
            }
        }
    }
    if (++per_code_[code] > kFindingsPerCode) {
        ++suppressed_[code];
        suppressed_severity_[code] = s;
        if (loss == nullptr) {
            suppressed_unsalvageable_.insert(code);
        }
        return;
    }
    Finding f{s, code, page, table, text, 0, std::nullopt, loss != nullptr};
    if (index) {
        f.table_page = index->first;
        f.index = index->second;
    }
    if (loss != nullptr) {
        f.table_page = loss->table_page;
    }
    report.findings.push_back(std::move(f));
}

void Context::error(const std::string& code, std::uint32_t page, const std::string& table,
                    const std::string& text,
                    std::optional<std::pair<std::uint32_t, std::uint32_t>> index) {
    add(Severity::error, code, page, table, text, index);
}

void Context::lossy(const std::string& code, std::uint32_t page, const std::string& table,
                    const std::string& text, const Loss& loss) {
    add(Severity::error, code, page, table, text, std::nullopt, &loss);
}

void Context::note(const std::string& code, std::uint32_t page, const std::string& table,
                   const std::string& text) {
    add(options.strict ? Severity::error : Severity::note, code, page, table, text);
}

void Context::claim(std::uint32_t page, PageRole role, std::uint32_t table) {
    if (log_ != nullptr) {
        log_->claims.emplace_back(page, Claim{role, table});
        return;
    }
    claims.add(page, Claim{role, table});
}

bool Context::use_long_value_row(RowPointer row) {
    if (lv_page_.empty()) {
        lv_page_.resize(file.page_count());
    }
    std::uint32_t& at = lv_page_.at(row.page);
    if (at == 0) {
        lv_row_bits_.emplace_back();
        at = static_cast<std::uint32_t>(lv_row_bits_.size());
    }
    std::uint64_t& word = lv_row_bits_[at - 1][row.row / 64];
    const std::uint64_t bit = std::uint64_t{1} << (row.row % 64);
    const bool fresh = (word & bit) == 0;
    word |= bit;
    if (fresh && log_ != nullptr) {
        log_->long_value_rows.push_back(row);
    }
    return fresh;
}

bool Context::long_value_row_used(RowPointer row) const {
    if (row.page >= lv_page_.size() || lv_page_[row.page] == 0) {
        return false;
    }
    const std::uint64_t word = lv_row_bits_[lv_page_[row.page] - 1][row.row / 64];
    return (word >> (row.row % 64) & 1u) != 0;
}

Database Context::another_reader() const {
    OpenOptions open;
    open.verify_password = false;
    open.cipher = file.cipher();
    open.share = &file;
    open.unlisted_pages = db.unlisted_pages();
    return Database(file.path(), open);
}

void Context::share_out(std::size_t threads,
                        const std::function<void(const Database&)>& work) const {
    JoinedThreads helpers;
    for (std::size_t t = 1; t < threads; ++t) {
        const bool started = helpers.start([&] {
            try {
                work(another_reader());
            } catch (...) {
                // What it did not take is done by the others, or in the run's turn.
            }
        });
        if (!started) {
            break;  // no thread to be had: fewer work
        }
    }
    work(db);
}

bool Context::replay(const CheckReport& found, const Log& log) {
    if (!found.findings.empty() || !found.losses.empty() || !found.damaged_indexes.empty() ||
        !found.unlisted_pages.empty()) {
        return false;
    }
    for (const RowPointer row : log.long_value_rows) {
        if (long_value_row_used(row)) {
            return false;
        }
    }
    for (const auto& [page, c] : log.claims) {
        claim(page, c.role, c.table);
    }
    for (const RowPointer row : log.long_value_rows) {
        use_long_value_row(row);
    }
    return true;
}

std::string Context::table_label(const std::string& name) {
    return "table \"" + name + "\"";
}

void Context::finish() {
    for (const auto& [code, n] : suppressed_) {
        report.findings.push_back({suppressed_severity_[code], code, 0, "",
                                   std::to_string(n) + " further findings \"" + code +
                                       "\" like the ones above were not listed.",
                                   0, std::nullopt, suppressed_unsalvageable_.count(code) == 0});
    }
}

std::string page_list(const std::vector<std::uint32_t>& pages) {
    std::string s;
    for (std::size_t i = 0; i < pages.size() && i < 12; ++i) {
        s += (i ? ", " : "") + std::to_string(pages[i]);
    }
    if (pages.size() > 12) {
        s += ", ...";
    }
    return s;
}

}  // namespace check_detail

using check_detail::Claim;
using check_detail::Context;
using check_detail::page_list;

const char* severity_name(Severity s) {
    return s == Severity::error ? "error" : "note";
}

const char* page_role_name(PageRole role) {
    switch (role) {
        case PageRole::header:
            return "database header";
        case PageRole::global_map:
            return "global page map";
        case PageRole::table_def:
            return "table definition";
        case PageRole::map_holder:
            return "usage-map holder";
        case PageRole::usage_bitmap:
            return "usage bitmap";
        case PageRole::table_data:
            return "table data";
        case PageRole::long_value:
            return "long value";
        case PageRole::index:
            return "index";
        case PageRole::long_value_listed:
            return "long-value page listed";
    }
    return "unknown";
}

std::size_t CheckReport::error_count() const {
    return static_cast<std::size_t>(
        std::count_if(findings.begin(), findings.end(),
                      [](const auto& f) { return f.severity == Severity::error; }));
}

std::size_t CheckReport::note_count() const {
    return findings.size() - error_count();
}

bool CheckReport::has(const std::string& code) const {
    return std::any_of(findings.begin(), findings.end(),
                       [&](const Finding& f) { return f.code == code; });
}

namespace {

bool known_page_type(std::uint8_t t) {
    // 0x08 and 0x09 are left-overs of dropped tables and long values.
    return t <= kPageTypeUsageBitmap || t == 0x08 || t == 0x09;
}

std::string role_text(const Claim& c, const Context& cx) {
    std::string s = page_role_name(c.role);
    if (c.table != 0) {
        const auto it = cx.tables.find(c.table);
        s += " of " + (it != cx.tables.end() ? Context::table_label(it->second.name)
                                             : "the table at page " + std::to_string(c.table));
    }
    return s;
}

// One table walked apart from the run (check_catalog_and_tables): what its
// walk left, to be replayed into the run's context in the catalog's order.
struct TableShard {
    CheckReport report;
    Context::Log log;
    std::map<std::uint32_t, check_detail::CheckedTable> tables;
    std::map<std::uint32_t, Context::UndefinedTable> undefined_tables;
    std::map<std::uint32_t, std::set<std::uint32_t>> named_outside;
    bool walked = false;  // false: the walk threw, or never ran
};

void walk_apart(const Database& db, const Context& run, std::uint32_t page, const std::string& name,
                TableShard& shard) {
    Context cx(db, run.options, shard.report, &shard.log);
    cx.adopted = run.adopted;
    check_detail::check_table(cx, page, name);
    shard.tables = std::move(cx.tables);
    shard.undefined_tables = std::move(cx.undefined_tables);
    shard.named_outside = std::move(cx.named_outside);
    shard.walked = true;
}

// With CheckOptions::threads above one, walks the tables on that many
// threads, each table on its own context: the largest (by the rows and
// indexes their definitions give) first, so that the threads end together.
// Empty when the tables are walked one by one in the run's context. A table
// that costs well more than a thread's share, and has the pages to be split
// (CheckOptions::split_pages), is left out (`alone` says which): it is walked
// in its turn, its pages split over the threads. Walked one at a time, such
// tables keep one large table's row state in memory at once.
std::vector<TableShard> walk_tables_apart(
    Context& cx, const std::vector<std::pair<std::uint32_t, std::string>>& tables,
    std::vector<bool>& alone) {
    const unsigned threads = cx.options.rows != nullptr ? 1u : cx.options.threads;
    if (threads < 2 || tables.size() < 2) {
        return {};
    }
    std::vector<std::uint64_t> cost(tables.size(), 0);
    std::vector<bool> splits(tables.size(), false);  // enough pages to walk in ranges
    for (std::size_t i = 0; i < tables.size(); ++i) {
        try {
            const TableDef& def = cx.db.table_def(tables[i].first);
            cost[i] = std::uint64_t{def.row_count} * (1 + def.real_indexes.size());
            splits[i] = read_usage_map(cx.file, def.owned_map, "").pages.size() >=
                        std::max<std::size_t>(cx.options.split_pages, threads);
        } catch (...) {
            // Walked all the same: its walk says what is wrong.
        }
    }
    std::vector<std::size_t> order(tables.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return cost[a] > cost[b]; });
    std::uint64_t left = 0;  // the cost of the tables not left out
    for (const auto c : cost) {
        left += c;
    }
    alone.assign(tables.size(), false);
    std::size_t first = 0;  // of the tables walked side by side, in `order`
    for (; first < order.size(); ++first) {
        // Walked beside the others, the largest table alone would keep its
        // thread busy well past the others' end (by more than a quarter of
        // a fair share): then it is split.
        const std::uint64_t c = cost[order[first]];
        if (c * threads * 4 <= left * 5 || !splits[order[first]]) {
            break;
        }
        alone[order[first]] = true;
        left -= c;
    }
    order.erase(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(first));
    std::vector<TableShard> shards(tables.size());
    std::atomic<std::size_t> next{0};
    auto work = [&](const Database& db) {
        for (std::size_t i = next++; i < order.size(); i = next++) {
            const auto& [page, name] = tables[order[i]];
            try {
                walk_apart(db, cx, page, name, shards[order[i]]);
            } catch (...) {
                // Walked again in its turn, where the error is the run's.
            }
        }
    };
    // No more threads than tables to walk: each helper opens the file's catalog.
    cx.share_out(std::min<std::size_t>(threads, order.size()), work);
    return shards;
}

// Puts a table's walk into the run's context as if it had been walked
// there; false (and nothing put) when it must be walked again in the run's
// context: it found something (whose wording and order may depend on what
// was found before it), threw, or used a long-value row another table uses.
bool replay(Context& cx, TableShard& shard) {
    const CheckReport& r = shard.report;
    if (!shard.walked || !cx.replay(r, shard.log)) {
        return false;
    }
    cx.tables.merge(shard.tables);
    cx.undefined_tables.merge(shard.undefined_tables);
    for (auto& [table, pages] : shard.named_outside) {
        cx.named_outside[table].merge(pages);
    }
    cx.report.tables += r.tables;
    cx.report.indexes += r.indexes;
    cx.report.rows += r.rows;
    cx.report.uncomputable_indexes.merge(shard.report.uncomputable_indexes);
    return true;
}

// The catalog: page 2, every table named once, then each table's walk.
void check_catalog_and_tables(Context& cx) {
    const auto& objects = cx.db.catalog().objects();
    std::map<std::uint32_t, std::vector<const CatalogObject*>> by_page;
    for (const auto& o : objects) {
        if (o.names_definition()) {
            by_page[o.table_page()].push_back(&o);
        }
    }
    const auto two = by_page.find(kCatalogPage);
    if (two == by_page.end()) {
        by_page[kCatalogPage];  // checked all the same: it is where the catalog is
    } else if (two->second.front()->name != "MSysObjects") {
        cx.error("catalog-page2", kCatalogPage, two->second.front()->name,
                 "Page 2 must hold the definition of MSysObjects, but the catalog names \"" +
                     two->second.front()->name + "\" there.");
    }
    std::vector<std::pair<std::uint32_t, std::string>> tables;
    for (const auto& [page, named] : by_page) {
        tables.emplace_back(page, named.empty() ? "MSysObjects" : named.front()->name);
    }
    std::vector<bool> alone;
    std::vector<TableShard> shards = walk_tables_apart(cx, tables, alone);
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const auto& [page, name] = tables[i];
        const auto& named = by_page.at(page);
        if (named.size() > 1) {
            cx.error("table-named-twice", page, named[0]->name,
                     "The catalog names the table definition at page " + std::to_string(page) +
                         " " + std::to_string(named.size()) + " times (\"" + named[0]->name +
                         "\", \"" + named[1]->name +
                         "\"); two tables would share one set of rows.");
        }
        if (i >= shards.size() || !replay(cx, shards[i])) {
            // Its pages are split over the threads only when no other table
            // is walked beside it: two tables' row state is held at once
            // otherwise, and more would be.
            cx.split_table = shards.empty() || alone[i];
            check_detail::check_table(cx, page, name);
            cx.split_table = false;
        }
        if (i < shards.size()) {
            shards[i] = TableShard{};  // its memory back
        }
    }
}

// Whether `page` holds a table definition no row of the catalog names, in a
// file whose every catalog table names its own: what a dropped table left.
bool dropped_definition(const Context& cx, std::uint32_t page) {
    if (!cx.undefined_tables.empty() || page < 3 || page >= cx.file.page_count() ||
        cx.file.read(page)[0] != kPageTypeTableDef) {
        return false;
    }
    const auto& objects = cx.db.catalog().objects();
    const bool named = std::any_of(objects.begin(), objects.end(), [&](const CatalogObject& o) {
        return o.names_definition() && o.table_page() == page;
    });
    // A later page of a table's own definition is no dropped one.
    const bool continued = std::any_of(cx.tables.begin(), cx.tables.end(), [&](const auto& t) {
        const auto& pages = t.second.def.pages;
        return std::find(pages.begin(), pages.end(), page) != pages.end();
    });
    return !named && !continued;
}

// Foreign-key halves: the other table exists and names this one back.
void check_relationships(Context& cx) {
    for (const auto& entry : cx.tables) {
        const std::uint32_t page = entry.first;
        const check_detail::CheckedTable& t = entry.second;
        for (std::size_t k = 0; k < t.def.logical_indexes.size(); ++k) {
            const LogicalIndex& li = t.def.logical_indexes[k];
            if (!li.is_foreign_key()) {
                continue;
            }
            // What a salvage gives up: this half, the index kept.
            const Loss half{Loss::Kind::relationship, page, page, 0, static_cast<std::uint16_t>(k)};
            const auto other = cx.tables.find(li.rel_table_page);
            if (other == cx.tables.end() && dropped_definition(cx, li.rel_table_page)) {
                // A writer that drops a table by its catalog row alone leaves
                // this half of the relationship behind; the table it names is
                // gone from the catalog, and the relationship with it.
                cx.error("fk-stale", page, t.name,
                         "The relationship index \"" + li.name + "\" of " +
                             Context::table_label(t.name) + " names table page " +
                             std::to_string(li.rel_table_page) +
                             ", the definition of a table no row of the catalog names (a "
                             "dropped table's leftover).");
                continue;
            }
            if (other == cx.tables.end()) {
                cx.lossy("fk-dangling", page, t.name,
                         "The relationship index \"" + li.name + "\" of " +
                             Context::table_label(t.name) + " names table page " +
                             std::to_string(li.rel_table_page) +
                             ", which holds no table definition of the catalog.",
                         half);
                continue;
            }
            const auto& ol = other->second.def.logical_indexes;
            const bool back = std::any_of(ol.begin(), ol.end(), [&](const LogicalIndex& o) {
                return static_cast<std::int32_t>(o.number) == li.rel_index &&
                       o.rel_table_page == page &&
                       o.rel_index == static_cast<std::int32_t>(li.number);
            });
            if (!back) {
                cx.lossy("fk-not-reciprocal", page, t.name,
                         "The relationship index \"" + li.name + "\" of " +
                             Context::table_label(t.name) + " names index " +
                             std::to_string(li.rel_index) + " of " +
                             Context::table_label(other->second.name) +
                             ", which does not name it back.",
                         half);
            }
        }
    }
}

// Object Ids kept in other system tables must name objects of the catalog.
void check_object_ids(Context& cx) {
    std::set<std::int64_t> ids;
    for (const auto& o : cx.db.catalog().objects()) {
        ids.insert(o.id);
    }
    for (const IdColumn& place : kIdColumns) {
        if (!place.checked) {
            continue;
        }
        const CatalogObject* obj = cx.db.catalog().find_table(place.table);
        if (obj == nullptr || cx.tables.count(obj->table_page()) == 0) {
            continue;
        }
        const TableDef& def = cx.tables.at(obj->table_page()).def;
        const auto col = std::find_if(def.columns.begin(), def.columns.end(), [&](const Column& c) {
            return names_equal(c.name, place.column);
        });
        if (col == def.columns.end()) {
            continue;
        }
        const auto idx = static_cast<std::size_t>(col - def.columns.begin());
        std::vector<std::vector<Value>> rows;
        try {
            rows = cx.db.read_rows(def);
        } catch (const Error&) {
            continue;  // the table's own walk has reported why
        }
        std::set<std::int64_t> stale;
        for (const auto& r : rows) {
            if (idx < r.size()) {
                if (const auto* v = std::get_if<std::int64_t>(&r[idx]); v && ids.count(*v) == 0) {
                    stale.insert(*v);
                }
            }
        }
        if (!stale.empty()) {
            std::string list;
            for (const auto v : stale) {
                list += (list.empty() ? "" : ", ") + std::to_string(v);
                if (list.size() > 80) {
                    list += ", ...";
                    break;
                }
            }
            cx.note("stale-id", obj->table_page(), std::string(place.table),
                    std::string(place.table) + "." + std::string(place.column) + " holds " +
                        std::to_string(stale.size()) +
                        " object Id(s) that name nothing in the catalog (" + list +
                        "), left over from deleted objects.");
        }
    }
}

// Rows on pages in use that no table reaches. A table the catalog lists
// whose Id holds no definition was dropped, unless such rows still name it:
// then its definition is what was lost (a zeroed page, say), and its rows
// with it. Rows naming a table that was walked are ones its owned-pages map
// leaves out: the table's when its indexes or its moved rows name them (a
// later pass walks them with the table's other pages), a loss when nothing
// tells.
void rows_no_table_reaches(Context& cx, const std::vector<std::uint32_t>& orphans) {
    struct Found {
        std::vector<std::uint32_t> pages;
        std::size_t rows = 0;
    };
    std::map<std::uint32_t, Found> undefined;
    std::map<std::uint32_t, Found> unreachable;         // by table, pages no path of Jet's reads
    std::map<std::uint32_t, Found> unreachable_tables;  // by definition no catalog row names
    for (const auto p : orphans) {
        const PageBuf b = cx.file.read(p);
        const std::uint32_t owner = le32(b, 4);
        // A definition no catalog row names, on a page in use.
        const bool unnamed = b[0] == kPageTypeData &&
                             std::binary_search(orphans.begin(), orphans.end(), owner) &&
                             cx.file.read(owner)[0] == kPageTypeTableDef;
        if (b[0] != kPageTypeData ||
            (cx.undefined_tables.count(owner) == 0 && cx.tables.count(owner) == 0 && !unnamed)) {
            continue;
        }
        const auto moved = cx.moved_outside.find(owner);
        const bool moved_here = moved != cx.moved_outside.end() && moved->second.count(p) != 0;
        std::size_t rows = 0;
        try {
            const DataPage page(cx.file, b, p);
            for (const auto& s : page.slots()) {
                rows += s.deleted() ? 0 : 1;
            }
        } catch (const Error&) {
            continue;  // no rows to tell of
        }
        if (moved_here && rows == 0 && cx.tables.count(owner) != 0) {
            // Only the data of rows the table's pages point to: its rows.
            // (Live rows beside them are the table's only if its indexes
            // name them, as below.)
            cx.report.unlisted_pages[owner].push_back(p);
            continue;
        }
        if (rows == 0) {
            continue;
        }
        if (unnamed && cx.undefined_tables.empty()) {
            // Every table row of the catalog names its definition: this one
            // was dropped, and nothing of Jet's reaches it any more.
            Found& f = unreachable_tables[owner];
            f.pages.push_back(p);
            f.rows += rows;
            continue;
        }
        if (unnamed) {
            cx.lossy("table-unnamed", p, "",
                     "Page " + std::to_string(p) + " is in use and holds " + std::to_string(rows) +
                         " row(s) of the table defined on page " + std::to_string(owner) +
                         ", but no row of the catalog names that table (its Id there may be "
                         "damaged): a copy would lose them.",
                     Loss{Loss::Kind::page, owner, p, 0, 0});
            continue;
        }
        if (cx.undefined_tables.count(owner) != 0) {
            Found& f = undefined[owner];
            f.pages.push_back(p);
            f.rows += rows;
            continue;
        }
        const auto named = cx.named_outside.find(owner);
        if (named != cx.named_outside.end() && named->second.count(p) != 0) {
            cx.report.unlisted_pages[owner].push_back(p);
            continue;
        }
        Found& f = unreachable[owner];
        f.pages.push_back(p);
        f.rows += rows;
    }
    // Jet reads a table's rows by a scan of the pages its map lists, or
    // through its indexes: rows on a page the map leaves out that no index
    // names are read by neither. What a rewrite leaves behind (taken out of
    // the map, never marked free): Access does not show them, and its own
    // compaction does not copy them.
    for (const auto& [tp, f] : unreachable) {
        const std::string& name = cx.tables.at(tp).name;
        cx.note("rows-unreachable", f.pages.front(), name,
                std::to_string(f.rows) + " row(s) on " + std::to_string(f.pages.size()) +
                    " page(s) name " + Context::table_label(name) + " (" + page_list(f.pages) +
                    "), but its owned-pages map leaves those pages out and no index of the "
                    "table names the rows: neither a scan nor a lookup reaches them, so Access "
                    "does not read them either.");
    }
    for (const auto& [tp, f] : unreachable_tables) {
        cx.note("table-unreachable", f.pages.front(), "",
                std::to_string(f.rows) + " row(s) on " + std::to_string(f.pages.size()) +
                    " page(s) (" + page_list(f.pages) + ") belong to the table defined on page " +
                    std::to_string(tp) +
                    ", which no row of the catalog names (what a dropped table left behind): "
                    "Jet cannot reach them, so Access does not read them either.");
    }
    auto& findings = cx.report.findings;
    for (const auto& [tp, f] : undefined) {
        const auto& undefined_table = cx.undefined_tables.at(tp);
        const std::string& name = undefined_table.name;
        const std::string& what = undefined_table.what;
        findings.erase(std::remove_if(findings.begin(), findings.end(),
                                      [&, tp = tp](const Finding& x) {
                                          return x.code == "stale-id" && x.page == tp &&
                                                 x.table == name;
                                      }),
                       findings.end());
        cx.lossy("tdef-lost", tp, name,
                 "The catalog lists " + Context::table_label(name) + " with Id " +
                     std::to_string(tp) + ", but that page " + what + ", yet " +
                     std::to_string(f.pages.size()) + " page(s) in use still hold " +
                     std::to_string(f.rows) + " row(s) naming it (" + page_list(f.pages) +
                     "): its definition is lost, and its rows cannot be read without it.",
                 Loss{Loss::Kind::table, tp, 0, 0, 0});
    }
}

// Page 1, the global map of free pages, and what every page is used for.
void check_pages(Context& cx) {
    const std::uint32_t n = cx.file.page_count();
    cx.claim(0, PageRole::header, 0);
    cx.claim(1, PageRole::global_map, 0);
    std::optional<FreeMap> free;
    try {
        const DataPage p1 = read_data_page(cx.file, 1);
        if (p1.owner() != 1 || p1.slot_count() < 1) {
            cx.error("global-map-layout", 1, "",
                     "Page 1 must be a data page marked 1 at offset 4 with the global map in "
                     "row 0; it is marked " +
                         std::to_string(p1.owner()) + " with " + std::to_string(p1.slot_count()) +
                         " rows.");
        }
        free = read_free_map(cx.file);
        // A global map in reference form owns its bitmap pages.
        for (const auto b : free->map.bitmap_pages) {
            if (b != 0 && b < 0x80000000u) {
                cx.claim(b, PageRole::usage_bitmap, 0);
            }
        }
    } catch (const Error& e) {
        cx.error("global-map-undecodable", 1, "", e.what());
    }

    // Pages named by two owners.
    std::vector<Claim> distinct;
    cx.claims.for_each([&](std::uint32_t page, const std::vector<Claim>& c) {
        if (c.size() == 1 && page < n) {
            return;  // the common case: one owner, nothing to say
        }
        distinct.clear();
        const auto values_of = [&c](std::uint32_t table) {
            return std::any_of(c.begin(), c.end(), [&](const Claim& x) {
                return x.role == PageRole::long_value && (table == 0 || x.table == table);
            });
        };
        const bool values_here = values_of(0);
        bool holder = false;
        for (const auto& x : c) {
            if (x.role == PageRole::map_holder) {
                holder = true;
                continue;  // holder pages are shared by design
            }
            if (x.role == PageRole::long_value_listed && values_here) {
                if (values_of(x.table)) {
                    continue;  // the table's own values are there after all
                }
                // Another table's long values are what the page holds: the
                // map that lists it is wrong, and the copy's maps are
                // written from the values.
                const auto t = cx.tables.find(x.table);
                const std::string name = t != cx.tables.end() ? t->second.name : std::string();
                cx.error(
                    "lv-map-mismatch", page, name,
                    "A long-value map of " +
                        (t != cx.tables.end() ? Context::table_label(name)
                                              : "the table at page " + std::to_string(x.table)) +
                        " lists page " + std::to_string(page) +
                        ", which holds none of its long values but those of another table.");
                continue;
            }
            distinct.push_back(x);
        }
        if (distinct.size() > 1 || (holder && !distinct.empty())) {
            const Claim& a = holder ? c.front() : distinct[0];
            const Claim& b = holder ? distinct[0] : distinct[1];
            cx.error("page-owned-twice", page, "",
                     "Page " + std::to_string(page) + " is used both as " + role_text(a, cx) +
                         " and as " + role_text(b, cx) +
                         "; writing to one would overwrite the other.");
        }
        if (page >= n) {
            cx.error("dangling-pointer", page, "",
                     "Page " + std::to_string(page) + " is named as " + role_text(c.front(), cx) +
                         " but lies past the end of the file (" + std::to_string(n) + " pages).");
        }
    });

    std::vector<std::uint32_t> orphans, free_used, unknown, free_inside;
    for (std::uint32_t p = 0; p < n; ++p) {
        const bool live = cx.claims.claimed(p);
        const bool is_free = free && free->is_free(p);
        if (live && is_free) {
            free_used.push_back(p);
        } else if (!live && !is_free) {
            orphans.push_back(p);
        } else if (!live && is_free) {
            free_inside.push_back(p);
        }
        if (!live && !is_free && cx.file.encoding_key() != 0 && p > 0) {
            const PageBuf b = cx.file.read(p);
            if (!known_page_type(b[0])) {
                unknown.push_back(p);
            }
        }
    }
    rows_no_table_reaches(cx, orphans);
    if (!free_used.empty()) {
        cx.error("free-page-in-use", free_used.front(), "",
                 std::to_string(free_used.size()) +
                     " page(s) in use are marked free in the global map (" + page_list(free_used) +
                     "); Jet would hand them out again and overwrite them.");
    }
    if (!orphans.empty()) {
        cx.note("orphan-page", orphans.front(), "",
                std::to_string(orphans.size()) +
                    " page(s) are neither used by any object nor marked free (" +
                    page_list(orphans) + "); they are wasted space that compaction gives back.");
    }
    if (!unknown.empty()) {
        cx.error("page-unknown-type", unknown.front(), "",
                 std::to_string(unknown.size()) + " page(s) decode to no known page type (" +
                     page_list(unknown) +
                     "); the encoding key in the header may be wrong or the pages damaged.");
    }
    if (free && cx.options.strict && !free_inside.empty()) {
        cx.error("free-page-inside-file", free_inside.front(), "",
                 std::to_string(free_inside.size()) +
                     " free page(s) lie inside a compacted file (" + page_list(free_inside) + ").");
    }
    if (free) {
        // Pages past the end of the file that the map can describe must read as free.
        std::vector<std::uint32_t> stale;
        const std::uint64_t end =
            std::min<std::uint64_t>(free->map.range_end(), cx.file.format().max_pages);
        for (std::uint64_t p = n; p < end && stale.size() < 64; ++p) {
            if (!free->is_free(static_cast<std::uint32_t>(p))) {
                stale.push_back(static_cast<std::uint32_t>(p));
            }
        }
        if (!stale.empty()) {
            cx.note("stale-free-map", 1, "",
                    "The global map marks page(s) past the end of the file as in use (" +
                        page_list(stale) + ").");
        }
    }
}

}  // namespace

namespace {

// One walk over everything; `adopted` names pages of rows the owned-pages
// maps leave out that an earlier walk took as the tables'.
CheckReport check_once(const Database& db, const CheckOptions& options,
                       const std::map<std::uint32_t, std::vector<std::uint32_t>>& adopted) {
    CheckReport report;
    report.file = db.path();
    report.pages = db.page_count();
    report.page_size = db.file().page_size();
    Context cx(db, options, report);
    cx.adopted = adopted;
    if (const std::size_t page_size = db.file().page_size();
        db.file().size_bytes() % page_size != 0) {
        cx.error("file-size", 0, "",
                 "The file is " + std::to_string(db.file().size_bytes()) +
                     " bytes, not a whole number of " + std::to_string(page_size) +
                     "-byte pages; it was cut short.");
    }
    check_catalog_and_tables(cx);
    check_relationships(cx);
    check_object_ids(cx);
    check_pages(cx);
    if (options.page_owners) {
        cx.claims.for_each([&](std::uint32_t page, const std::vector<Claim>& claims) {
            for (const Claim& c : claims) {
                report.owners.push_back(PageOwner{page, c.role, c.table});
            }
        });
    }
    cx.finish();
    std::stable_sort(report.findings.begin(), report.findings.end(),
                     [](const Finding& a, const Finding& b) { return a.severity > b.severity; });
    for (auto& [table, pages] : report.unlisted_pages) {
        std::sort(pages.begin(), pages.end());
        pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    }
    return report;
}

}  // namespace

CheckReport check(const Database& db, const CheckOptions& options) {
    std::map<std::uint32_t, std::vector<std::uint32_t>> adopted;
    for (int pass = 0;; ++pass) {
        CheckReport report = check_once(db, options, adopted);
        // The rows of pages taken in may name further pages (a chain of
        // them); a few passes settle it.
        if (report.unlisted_pages == adopted || pass == 3) {
            return report;
        }
        adopted = report.unlisted_pages;
    }
}

namespace {

CheckReport check_file_read_through(const std::filesystem::path& path, const PageFile* share,
                                    const CheckOptions& options,
                                    const std::optional<std::string>& password) {
    OpenOptions open;
    open.password = password;
    open.verify_password = password.has_value();
    open.share = share;
    if (share != nullptr) {
        // The keys of an encrypted file come with it: derived once.
        open.cipher = share->cipher();
    }
    try {
        const Database db(path, open);
        return check(db, options);
    } catch (const Error& e) {
        if (e.kind() != ErrorKind::damaged) {
            throw;
        }
        CheckReport report;
        report.file = path;
        report.findings.push_back({Severity::error, "catalog-undecodable", kCatalogPage,
                                   "MSysObjects", std::string(e.what()), 0, std::nullopt});
        return report;
    }
}

}  // namespace

CheckReport check_file(const std::filesystem::path& path, const CheckOptions& options,
                       const std::optional<std::string>& password) {
    return check_file_read_through(path, nullptr, options, password);
}

CheckReport check_file(const PageFile& file, const CheckOptions& options,
                       const std::optional<std::string>& password) {
    return check_file_read_through(file.path(), &file, options, password);
}

}  // namespace jet
