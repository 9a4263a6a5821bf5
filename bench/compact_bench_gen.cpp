// compact_bench_gen: grows an Access-made database into a large, fragmented
// one for the compaction benchmark and the large-file test.
//
//   compact_bench_gen SOURCE TABLE DEST --mb N [--delete 0.5] [--free 0.05]
//   compact_bench_gen SOURCE --grow TABLE[:WEIGHT],... DEST --mb N [--delete F] [--free F]
//   compact_bench_gen SOURCE --list
//
// Every page of SOURCE is kept as it is. TABLE (a table whose only index is
// its primary key over one Long Integer column, without stored long values)
// grows by copies of its own rows, cycled, each with a fresh key, until the
// file reaches about N MB. A share of the new rows (--delete) is left as
// deleted slots whose space stays unused on its page, as after deletions in
// Access, and a share of the new pages (--free) is left free in the global
// map. The table's primary-key index is rebuilt over all its rows onto new
// pages (the old index pages become free), and its usage maps, row count,
// statistics and autonumber counter are updated; the global map on page 1 is
// rewritten, in its reference form when the file needs it. Pages are written
// through the engine's own writer units, and the result passes the checker
// with notes only (free pages, as any used database has).
//
// --grow grows several tables at once, the shape of an application's file:
// each round adds WEIGHT rows (1 when not given) to each named table, copies
// of its own rows cycled, their data pages interleaved. A table qualifies
// when every unique index has a Long Integer column (its first one takes a
// new number per row) and every index's keys can be computed; its other
// indexes may be over anything, text included. Memo and OLE values are
// stored afresh, in the form of the row they are copied from: in the row,
// in one LVAL row, or as a chain of pages (each column's LVAL pages form one
// run, planned before anything is written). Every real index of a grown
// table is rebuilt over its old entries and the new rows' keys, computed by
// the engine's key encoder; the table's, its indexes' and its long-value
// columns' usage maps, row count, index statistics and autonumber counter
// follow. The same arguments give the same file.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "jet/check/checker.h"
#include "jet/compact/output_file.h"
#include "jet/format/bytes.h"
#include "jet/format/data_page.h"
#include "jet/format/data_page_builder.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/index_builder.h"
#include "jet/format/index_key.h"
#include "jet/format/index_tree.h"
#include "jet/format/key_encoder.h"
#include "jet/format/long_value.h"
#include "jet/format/long_value_builder.h"
#include "jet/format/row.h"
#include "jet/format/table_def.h"
#include "jet/format/table_def_builder.h"
#include "jet/format/usage_map.h"
#include "jet/format/usage_map_builder.h"

namespace {

using namespace jet;

// A small deterministic generator (xorshift), so the same arguments give the
// same file.
struct Random {
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    double next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<double>(s >> 11) / 9007199254740992.0;
    }
};

// Why a table cannot be grown, or "" when it can.
std::string unsuitable(const Database& db, const TableDef& t, const Column** key) {
    if (t.real_indexes.size() != 1 || t.real_indexes[0].columns.size() != 1) {
        return "needs exactly one index over one column";
    }
    const Column* c = t.column_by_number(t.real_indexes[0].columns[0].number);
    if (c == nullptr || c->type != static_cast<std::uint8_t>(ColumnType::long_integer) ||
        !c->is_fixed()) {
        return "its index is not over a Long Integer column";
    }
    if (t.owned_map.page == 0 || t.real_indexes[0].map.page == 0) {
        return "has no usage maps";
    }
    bool stored_long_value = false;
    std::size_t rows = 0;
    db.for_each_row(t, [&](const RowRef& r) {
        ++rows;
        const RowLayout layout = parse_row_layout(t, r.bytes, "row");
        for (const auto& col : t.columns) {
            if (!col.is_long_value()) {
                continue;
            }
            const auto span = locate_column(col, layout, r.bytes, "row");
            if (span && span->length >= 4 && r.bytes[span->offset + 3] != 0x80) {
                stored_long_value = true;
            }
        }
    });
    if (stored_long_value) {
        return "holds long values stored outside its rows";
    }
    if (rows == 0) {
        return "has no rows to copy";
    }
    *key = c;
    return "";
}

void write_map_row(PageBuf& holder, std::uint8_t slot, const std::vector<std::uint8_t>& row,
                   const std::string& what) {
    const DataPage dp(jet4_format(), holder, 0, what);
    const RowSlot& s = dp.slot(slot);
    if (s.length() < row.size()) {
        throw Error(ErrorKind::damaged, what + ": the map row is too short to rewrite.");
    }
    std::fill(holder.begin() + s.start, holder.begin() + s.end, 0);
    std::copy(row.begin(), row.end(), holder.begin() + s.start);
}

// Writes page 1 (the global map of `free_pages`, inline or by reference,
// with its bitmap pages after page `next_page` - 1), the source's first `n0`
// pages (those in `patched` as patched), zeros on the new free pages, and
// commits. Returns the file's page count.
std::uint32_t finish_file(OutputFile& out, const PageFile& src, std::uint32_t n0,
                          std::uint32_t next_page, const std::set<std::uint32_t>& free_pages,
                          const std::map<std::uint32_t, PageBuf>& patched) {
    const std::uint32_t without_bitmaps = next_page;
    // Page 1: the global map of free pages, inline or by reference.
    const auto layout = plan_global_map(jet4_format(), without_bitmaps);
    const std::uint32_t total = without_bitmaps + layout.bitmap_page_count;
    std::vector<std::uint32_t> free_list(free_pages.begin(), free_pages.end());
    PageBuf page1;
    if (!layout.reference) {
        page1 = build_page_one(jet4_format(), total, {});
        MutableBytes p(page1.data(), page1.size());
        const std::size_t start = le16(p, 14) & 0x1FFF;
        for (auto f : free_list) {
            p[start + 5 + f / 8] =
                static_cast<std::uint8_t>(p[start + 5 + f / 8] | (1u << (f % 8)));
        }
    } else {
        std::vector<std::uint32_t> refs;
        for (std::uint32_t b = 0; b < layout.bitmap_page_count; ++b) {
            refs.push_back(without_bitmaps + b);
        }
        page1 = build_page_one(jet4_format(), total, refs);
        for (std::uint32_t b = 0; b < layout.bitmap_page_count; ++b) {
            std::vector<std::uint32_t> bits = free_list;
            const std::uint64_t end =
                static_cast<std::uint64_t>(b + 1) * jet4_format().pages_per_bitmap_page();
            for (std::uint64_t q = total; q < end; ++q) {
                bits.push_back(static_cast<std::uint32_t>(q));
            }
            out.write_page(without_bitmaps + b, build_bitmap_page(jet4_format(), b, bits));
        }
    }
    // Free pages are zero; the source's pages are copied, patched where needed.
    const PageBuf zero = blank_page(jet4_format());
    for (std::uint32_t p = 0; p < n0; ++p) {
        if (p == 1) {
            out.write_page(1, page1);
        } else if (auto it = patched.find(p); it != patched.end()) {
            out.write_page(p, it->second);
        } else {
            out.write_page(p, src.read(p));
        }
    }
    for (auto f : free_list) {
        if (f >= n0) {
            out.write_page(f, zero);
        }
    }
    out.commit(0644, ::getuid(), ::getgid());
    return total;
}

// --- Several tables ----------------------------------------------------------
//
// The shape of an application's file: several tables grown at once, their
// rows interleaved page by page, every index of each rebuilt (text keys
// included), memo and OLE values stored afresh in the form their template
// row gives them (in the row, one LVAL row, or a chain of pages).

// One table being grown.
struct Grown {
    const TableDef* t = nullptr;
    const Header* header = nullptr;  // of the database it lies in
    std::string name;
    unsigned weight = 1;
    std::vector<std::vector<std::uint8_t>> templates;
    std::vector<std::vector<Value>> values;  // per template: every column, decoded
    std::vector<const Column*> fresh;        // Long columns given a new number per row
    std::vector<const Column*> lv;           // memo and OLE columns
    // Per template and long-value column: the value when stored outside the
    // row (empty for inline and null values), and whether it is (its
    // descriptor's kind, which the copy keeps).
    std::vector<std::vector<std::vector<std::uint8_t>>> lv_values;
    std::vector<std::vector<bool>> lv_stored;
    std::vector<std::vector<std::uint8_t>> lv_kind;
    std::vector<RowPacker> lv_plan;
    std::vector<std::uint32_t> lv_first;
    std::int64_t next_id = 1;
    std::uint32_t old_rows = 0;
    std::size_t cycle = 0;  // the next template
    // The new live rows: template, number, place.
    struct Placed {
        std::uint32_t tmpl;
        std::uint32_t id;
        RowPointer at;
    };
    std::vector<Placed> placed;
    std::vector<std::uint32_t> data_pages;
    RowPacker packer{jet4_format()};
    std::vector<std::vector<std::uint8_t>> page_rows;
    std::vector<bool> page_deleted;
    std::uint32_t current = 0;
    std::uint32_t page_number = 0;
    double index_pages_per_row = 0;  // all its indexes together, roughly
};

// Why `t` cannot be grown in this mode, or "".
std::string unsuitable_several(const Header& header, const TableDef& t,
                               std::vector<const Column*>* fresh) {
    if (t.owned_map.page == 0) {
        return "has no usage map";
    }
    for (const auto& ri : t.real_indexes) {
        if (ri.map.page == 0) {
            return "has an index without a usage map";
        }
        for (const auto& ic : ri.columns) {
            const Column* c = t.column_by_number(ic.number);
            if (c == nullptr || key_unsupported(key_field(*c, ic, header))) {
                return "has an index whose keys cannot be computed";
            }
        }
        if (!ri.unique()) {
            continue;
        }
        // A unique index needs a Long Integer column that takes a new number.
        const Column* pick = nullptr;
        for (const auto& ic : ri.columns) {
            const Column* c = t.column_by_number(ic.number);
            if (c->type == static_cast<std::uint8_t>(ColumnType::long_integer) && c->is_fixed()) {
                pick = c;
                break;
            }
        }
        if (pick == nullptr) {
            return "has a unique index without a Long Integer column";
        }
        if (std::find(fresh->begin(), fresh->end(), pick) == fresh->end()) {
            fresh->push_back(pick);
        }
    }
    for (const auto& lvm : t.long_value_maps) {
        if (lvm.owned.page == 0) {
            return "has a memo or OLE column without a usage map";
        }
    }
    return "";
}

// The key of a grown row in index `ri`: its template's values with the
// fresh columns numbered `id`. Empty when ignored (all null, ignore nulls).
std::vector<std::uint8_t> grown_key(const Grown& g, const RealIndex& ri, std::uint32_t tmpl,
                                    std::int64_t id) {
    std::vector<KeyField> fields;
    std::vector<Value> vals;
    for (const auto& ic : ri.columns) {
        const Column* c = g.t->column_by_number(ic.number);
        fields.push_back(key_field(*c, ic, *g.header));
        const bool is_fresh = std::find(g.fresh.begin(), g.fresh.end(), c) != g.fresh.end();
        std::size_t at = 0;
        while (g.t->columns[at].number != c->number) {
            ++at;
        }
        vals.push_back(is_fresh ? Value{id} : g.values[tmpl][at]);
    }
    std::vector<const Value*> pointers;
    for (const auto& v : vals) {
        pointers.push_back(&v);
    }
    std::vector<std::uint8_t> key;
    if (const auto why = encode_index_key(fields, pointers, key)) {
        throw Error(ErrorKind::invalid_argument, "A key of table \"" + g.name + "\": " + *why);
    }
    if (ri.ignore_nulls() && key_is_all_null(key, ri.columns.size())) {
        key.clear();
    }
    return key;
}

void read_templates(const Database& db, Grown& g) {
    const TableDef& t = *g.t;
    for (const auto& c : t.columns) {
        if (c.is_long_value()) {
            g.lv.push_back(&c);
        }
    }
    db.for_each_row(t, [&](const RowRef& r) {
        const std::string what = "row " + std::to_string(r.pointer.page) + ":" +
                                 std::to_string(r.pointer.row) + " of " + g.name;
        g.templates.emplace_back(r.bytes.begin(), r.bytes.end());
        g.values.push_back(decode_row(db.file(), t, r.bytes, what));
        const RowLayout layout = parse_row_layout(t, r.bytes, what);
        auto& stored = g.lv_stored.emplace_back();
        auto& values = g.lv_values.emplace_back();
        auto& kinds = g.lv_kind.emplace_back();
        for (const Column* c : g.lv) {
            const auto span = locate_column(*c, layout, r.bytes, what);
            bool outside = false;
            if (span && span->length >= kLongValueDescriptorSize) {
                const auto d = LongValueDescriptor::parse(r.bytes.subspan(span->offset), what);
                outside = d.kind != static_cast<std::uint8_t>(LongValueKind::inline_value);
                if (outside) {
                    values.push_back(read_long_value(db.file(), d, what));
                    kinds.push_back(d.kind);
                }
            }
            if (!outside) {
                values.emplace_back();
                kinds.push_back(0);
            }
            stored.push_back(outside);
        }
        for (const Column* c : g.fresh) {
            g.next_id = std::max<std::int64_t>(
                g.next_id, static_cast<std::int32_t>(le32(r.bytes, 2 + c->fixed_offset)) + 1);
        }
    });
    g.old_rows = static_cast<std::uint32_t>(g.templates.size());
    if (g.templates.empty()) {
        throw Error(ErrorKind::invalid_argument, "Table \"" + g.name + "\" has no rows to copy.");
    }
    g.lv_plan.assign(g.lv.size(), RowPacker(jet4_format()));
    g.lv_first.resize(g.lv.size());
    // Index pages per new row, from a sample of rows as they will be made
    // (front compression makes this far less than the keys' length).
    constexpr std::uint32_t kSample = 20000;
    for (const auto& ri : t.real_indexes) {
        std::vector<IndexEntry> sample;
        for (std::uint32_t n = 0; n < kSample; ++n) {
            auto key =
                grown_key(g, ri, n % static_cast<std::uint32_t>(g.templates.size()), g.next_id + n);
            if (!key.empty()) {
                sample.push_back(IndexEntry{
                    std::move(key), RowPointer{1000 + n / 32, static_cast<std::uint8_t>(n % 32)}});
            }
        }
        std::sort(sample.begin(), sample.end(), entry_less);
        g.index_pages_per_row +=
            static_cast<double>(plan_index_tree(jet4_format(), sample, true).page_count()) /
            kSample;
    }
}

// The tables named by `wanted` ("Orders:4,Order Details:10,..."), checked and
// with their template rows read.
std::vector<Grown> tables_to_grow(const Database& db, const std::string& wanted) {
    std::vector<Grown> grown;
    const std::string list = wanted + ",";
    for (std::size_t from = 0, at; (at = list.find(',', from)) != std::string::npos;
         from = at + 1) {
        std::string item = list.substr(from, at - from);
        if (item.empty()) {
            continue;
        }
        Grown& g = grown.emplace_back();
        if (const auto colon = item.rfind(':'); colon != std::string::npos) {
            g.weight = static_cast<unsigned>(std::stoul(item.substr(colon + 1)));
            item.resize(colon);
        }
        if (g.weight == 0 || g.weight > 100000) {
            throw Error(ErrorKind::invalid_argument, "A weight must lie between 1 and 100000.");
        }
        g.name = item;
        g.t = &db.table(item);
        g.header = &db.header();
        if (const auto why = unsuitable_several(db.header(), *g.t, &g.fresh); !why.empty()) {
            throw Error(ErrorKind::invalid_argument, "Table \"" + item + "\" " + why + ".");
        }
        read_templates(db, g);
    }
    if (grown.empty() || grown.size() > 127) {
        throw Error(ErrorKind::invalid_argument, "--grow names 1 to 127 tables.");
    }
    return grown;
}

// Which rows come, in order, and which of them are deleted, until the file
// would reach `target_pages` (index pages estimated, free pages by their
// share): one byte per row, the table's position, 0x80 when deleted. Plans
// the long-value pages of every column (Grown::lv_plan) on the way.
std::vector<std::uint8_t> plan_rows(std::vector<Grown>& grown, std::uint32_t n0,
                                    std::uint32_t target_pages, double delete_share,
                                    double free_share) {
    // Table i takes weight_i rows in each round.
    std::vector<std::size_t> schedule;
    for (std::size_t i = 0; i < grown.size(); ++i) {
        schedule.insert(schedule.end(), grown[i].weight, i);
    }
    std::vector<std::uint8_t> plan;
    Random rnd;
    std::vector<RowPacker> data(grown.size(), RowPacker(jet4_format()));
    std::vector<std::size_t> cycle(grown.size());
    double pages = n0;
    for (std::size_t s = 0; pages + 8 < target_pages; ++s) {
        const std::size_t i = schedule[s % schedule.size()];
        Grown& g = grown[i];
        const auto k = static_cast<std::uint32_t>(cycle[i]++ % g.templates.size());
        const bool deleted = rnd.next() < delete_share;
        const std::size_t before = data[i].page_count();
        data[i].add(g.templates[k].size());
        pages += static_cast<double>(data[i].page_count() - before) * (1 + free_share);
        if (!deleted) {
            for (std::size_t c = 0; c < g.lv.size(); ++c) {
                if (g.lv_stored[k][c]) {
                    const std::size_t b = g.lv_plan[c].page_count();
                    LongValueDescriptor d;
                    d.length = static_cast<std::uint32_t>(g.lv_values[k][c].size());
                    d.kind = g.lv_kind[k][c];
                    plan_long_value(d, g.lv_plan[c]);
                    pages += static_cast<double>(g.lv_plan[c].page_count() - b);
                }
            }
            pages += g.index_pages_per_row;
        }
        plan.push_back(static_cast<std::uint8_t>(i | (deleted ? 0x80 : 0)));
    }
    return plan;
}

// The file being written: the source's pages patched, new pages appended.
struct NewFile {
    OutputFile& out;
    const PageFile& src;
    std::uint32_t next_page;
    std::set<std::uint32_t> free_pages;
    std::map<std::uint32_t, PageBuf> patched;  // source pages to write changed

    PageBuf& patch(std::uint32_t page) {
        auto it = patched.find(page);
        if (it == patched.end()) {
            it = patched.emplace(page, src.read(page)).first;
        }
        return it->second;
    }
    // Rewrites the usage-map row at `where` to list `pages` (bitmap pages
    // appended when it cannot be inline).
    void set_map(RowPointer where, const std::vector<std::uint32_t>& pages) {
        std::vector<std::uint8_t> row;
        if (fits_inline_map(jet4_format(), pages)) {
            row = build_inline_map_row(jet4_format(), pages);
        } else {
            std::vector<std::uint32_t> refs;
            for (auto block : bitmap_blocks_of(jet4_format(), pages)) {
                refs.resize(block + 1, 0);
                refs[block] = next_page;
                out.write_page(next_page++, build_bitmap_page(jet4_format(), block, pages));
            }
            row = build_reference_map_row(jet4_format(), refs);
        }
        write_map_row(patch(where.page), where.row, row, "usage map");
    }
};

// Counts of the new live memo/OLE values by where they are stored.
struct LongValueCounts {
    std::uint64_t in_row = 0;
    std::uint64_t single = 0;
    std::uint64_t chain = 0;
};

// Writes the data page of rows `g` has gathered, deleted slots left empty.
void flush_rows(NewFile& f, Grown& g) {
    if (g.page_rows.empty()) {
        return;
    }
    PageBuf page = build_data_page(jet4_format(), g.page_rows, g.t->page);
    MutableBytes p(page.data(), page.size());
    std::size_t pos = jet4_format().page_size;
    for (std::size_t r = 0; r < g.page_rows.size(); ++r) {
        if (!g.page_deleted[r]) {
            pos -= g.page_rows[r].size();
            std::copy(g.page_rows[r].begin(), g.page_rows[r].end(), page.begin() + pos);
        }
        put_le16(p, 14 + 2 * r, static_cast<std::uint16_t>(pos | (g.page_deleted[r] ? 0xC000 : 0)));
    }
    std::fill(page.begin() + 14 + 2 * g.page_rows.size(), page.begin() + pos, 0);
    put_le16(p, 2, static_cast<std::uint16_t>(pos - (14 + 2 * g.page_rows.size())));
    f.out.write_page(g.page_number, page);
    g.data_pages.push_back(g.page_number);
    g.page_rows.clear();
    g.page_deleted.clear();
}

// Writes the planned rows and their long values: each long-value column's
// pages first, as one run, then the tables' data pages as they fill, free
// pages among them.
LongValueCounts write_rows(NewFile& f, std::vector<Grown>& grown,
                           const std::vector<std::uint8_t>& plan, double free_share) {
    std::vector<std::vector<LongValueWriter>> writers(grown.size());
    for (std::size_t i = 0; i < grown.size(); ++i) {
        Grown& g = grown[i];
        for (std::size_t c = 0; c < g.lv.size(); ++c) {
            g.lv_first[c] = f.next_page;
            writers[i].emplace_back(
                jet4_format(), f.next_page,
                [&f](std::uint32_t n, const PageBuf& page) { f.out.write_page(n, page); });
            f.next_page += static_cast<std::uint32_t>(g.lv_plan[c].page_count());
        }
    }
    Random rnd_free;
    rnd_free.s = 0xD1B54A32D192ED03ull;
    LongValueCounts counts;
    for (const std::uint8_t step : plan) {
        const std::size_t i = step & 0x7F;
        const bool deleted = (step & 0x80) != 0;
        Grown& g = grown[i];
        const auto k = static_cast<std::uint32_t>(g.cycle++ % g.templates.size());
        std::vector<std::uint8_t> row = g.templates[k];
        const auto id = static_cast<std::uint32_t>(g.next_id++);
        for (const Column* c : g.fresh) {
            put_le32(row, 2 + c->fixed_offset, id);
        }
        const RowPlace place = g.packer.add(row.size());
        if (place.page_index != g.current || g.page_rows.empty()) {
            flush_rows(f, g);
            g.current = place.page_index;
            while (rnd_free.next() < free_share) {
                f.free_pages.insert(f.next_page++);
            }
            g.page_number = f.next_page++;
        }
        if (!deleted) {
            const RowLayout layout = parse_row_layout(*g.t, row, g.name);
            for (std::size_t c = 0; c < g.lv.size(); ++c) {
                if (!g.lv_stored[k][c]) {
                    counts.in_row += layout.not_null(g.lv[c]->number) ? 1 : 0;
                    continue;
                }
                ++(g.lv_kind[k][c] == static_cast<std::uint8_t>(LongValueKind::single_row)
                       ? counts.single
                       : counts.chain);
                const auto span = locate_column(*g.lv[c], layout, row, g.name);
                const Bytes field(row.data() + span->offset, span->length);
                const auto stored = writers[i][c].store(field, g.lv_values[k][c]);
                std::copy(stored.begin(), stored.end(),
                          row.begin() + static_cast<std::ptrdiff_t>(span->offset));
            }
            g.placed.push_back(
                {k, id, RowPointer{g.page_number, static_cast<std::uint8_t>(g.page_rows.size())}});
        }
        g.page_rows.push_back(std::move(row));
        g.page_deleted.push_back(deleted);
    }
    for (std::size_t i = 0; i < grown.size(); ++i) {
        flush_rows(f, grown[i]);
        for (std::size_t c = 0; c < grown[i].lv.size(); ++c) {
            if (writers[i][c].finish() != grown[i].lv_plan[c].page_count()) {
                throw Error(ErrorKind::damaged, "The long values did not come out as planned.");
            }
        }
    }
    return counts;
}

// Rebuilds real index `ri` of `g` over its old entries and the new rows'
// keys onto new pages; sets its root and statistics in `def`, its usage map
// in the file. The old tree's pages become free.
void rebuild_index(NewFile& f, const Grown& g, std::size_t ri, TableDefBuilder& def) {
    const TableDef& t = *g.t;
    const RealIndex& index = t.real_indexes[ri];
    for (auto p : read_index_tree(f.src, index.root_page).pages) {
        f.free_pages.insert(p);
    }
    std::vector<IndexEntry> entries = read_index_entries(f.src, index.root_page, t.page);
    entries.reserve(entries.size() + g.placed.size());
    for (const auto& r : g.placed) {
        auto key = grown_key(g, index, r.tmpl, r.id);
        if (!key.empty()) {
            entries.push_back(IndexEntry{std::move(key), r.at});
        }
    }
    std::sort(entries.begin(), entries.end(), entry_less);
    std::uint32_t distinct = 0;
    for (std::size_t e = 0; e < entries.size(); ++e) {
        const bool same = e != 0 && entries[e].key == entries[e - 1].key;
        if (same && index.unique()) {
            throw Error(ErrorKind::invalid_argument,
                        "A unique index of \"" + g.name + "\" would hold a key twice.");
        }
        distinct += same ? 0 : 1;
    }
    const auto tree = plan_index_tree(jet4_format(), entries, true);
    std::vector<std::uint32_t> pages;
    for (std::size_t n = 0; n < tree.page_count(); ++n) {
        pages.push_back(f.next_page++);
    }
    const std::uint32_t root =
        write_index_tree(tree, entries, pages, t.page,
                         [&f](std::uint32_t n, const PageBuf& page) { f.out.write_page(n, page); });
    def.set_index(ri, root, static_cast<std::uint32_t>(g.old_rows + g.placed.size()), distinct);
    f.set_map(index.map, pages);
}

// After its rows: `g`'s indexes, usage maps and definition.
void finish_table(NewFile& f, const Grown& g) {
    const TableDef& t = *g.t;
    TableDefBuilder def(t);
    def.set_row_count(static_cast<std::uint32_t>(g.old_rows + g.placed.size()));
    for (std::size_t ri = 0; ri < t.real_indexes.size(); ++ri) {
        rebuild_index(f, g, ri, def);
    }
    for (const Column* c : g.fresh) {
        if ((c->flags & kColumnFlagAutoLong) != 0) {
            def.set_autonumber(static_cast<std::uint32_t>(g.next_id - 1));
        }
    }
    const UsageMap owned_old = read_usage_map(f.src, t.owned_map, "owned map");
    std::vector<std::uint32_t> owned(owned_old.pages.begin(), owned_old.pages.end());
    owned.insert(owned.end(), g.data_pages.begin(), g.data_pages.end());
    std::sort(owned.begin(), owned.end());
    f.set_map(t.owned_map, owned);
    if (t.free_map.page != 0) {
        f.set_map(t.free_map, {});
    }
    for (const auto& lvm : t.long_value_maps) {
        const UsageMap old = read_usage_map(f.src, lvm.owned, "long-value map");
        std::vector<std::uint32_t> pages(old.pages.begin(), old.pages.end());
        for (std::size_t c = 0; c < g.lv.size(); ++c) {
            if (g.lv[c]->number == lvm.column) {
                for (std::size_t n = 0; n < g.lv_plan[c].page_count(); ++n) {
                    pages.push_back(g.lv_first[c] + static_cast<std::uint32_t>(n));
                }
            }
        }
        std::sort(pages.begin(), pages.end());
        f.set_map(lvm.owned, pages);
        if (lvm.free.page != 0) {
            f.set_map(lvm.free, {});
        }
    }
    // The definition's pages keep their chain (bytes 0-7 stay).
    for (std::size_t k = 0; k < t.pages.size(); ++k) {
        PageBuf& page = f.patch(t.pages[k]);
        const PageBuf old = page;
        page = def.page(k, old, 0);
        std::copy(old.begin(), old.begin() + 8, page.begin());
    }
}

// --mb N, --delete F and --free F from args[first] on.
struct SizeOptions {
    double mb = 0;
    double delete_share = 0.5;
    double free_share = 0.05;
};
SizeOptions size_options(const std::vector<std::string>& args, std::size_t first) {
    SizeOptions o;
    for (std::size_t i = first; i + 1 < args.size(); i += 2) {
        const double v = std::stod(args[i + 1]);
        if (args[i] == "--mb") {
            o.mb = v;
        } else if (args[i] == "--delete") {
            o.delete_share = v;
        } else if (args[i] == "--free") {
            o.free_share = v;
        }
    }
    return o;
}

int run_several(const std::vector<std::string>& args) {
    // args: SOURCE --grow TABLES DEST [--mb N] [--delete F] [--free F]
    const SizeOptions sizes = size_options(args, 4);
    const double mb = sizes.mb;
    const double delete_share = sizes.delete_share;
    const double free_share = sizes.free_share;
    const Database db(args[0]);
    if (db.header().encoding_key != 0 || db.header().is_ace()) {
        throw Error(ErrorKind::invalid_argument, "Only plain Jet 4 sources are supported here.");
    }
    std::vector<Grown> grown = tables_to_grow(db, args[2]);
    const PageFile& src = db.file();
    const std::uint32_t n0 = src.page_count();
    const auto target_pages =
        static_cast<std::uint32_t>(mb * 1024 * 1024 / static_cast<double>(jet4_format().page_size));
    if (target_pages <= n0 + 16 || target_pages > jet4_format().max_pages - 64) {
        throw Error(ErrorKind::invalid_argument,
                    "--mb must lie between the source's size and 2 GB.");
    }
    const auto plan = plan_rows(grown, n0, target_pages, delete_share, free_share);

    OutputFile out(args[3], 0);
    NewFile f{out, src, n0, {}, {}};
    const FreeMap source_free = read_free_map(src);
    for (std::uint32_t p = 2; p < n0; ++p) {
        if (source_free.is_free(p)) {
            f.free_pages.insert(p);
        }
    }
    const LongValueCounts lv = write_rows(f, grown, plan, free_share);
    std::uint64_t live = 0;
    for (const auto& g : grown) {
        finish_table(f, g);
        live += g.old_rows + g.placed.size();
    }
    const std::uint32_t total = finish_file(out, src, n0, f.next_page, f.free_pages, f.patched);
    std::cout << args[3] << ": " << total << " pages, " << live << " live rows in " << grown.size()
              << " tables, " << plan.size() << " new rows; memo/OLE values: " << lv.in_row
              << " in the row, " << lv.single << " in one LVAL row, " << lv.chain << " in chains\n";
    return 0;
}

int run(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 4 && args[1] == "--grow") {
        return run_several(args);
    }
    if (args.size() == 2 && args[1] == "--list") {
        const Database db(args[0]);
        for (const auto* obj : db.catalog().tables(true)) {
            const Column* key = nullptr;
            const std::string why = unsuitable(db, db.table_def(obj->table_page()), &key);
            std::cout << obj->name << ": " << (why.empty() ? "suitable" : why) << "\n";
        }
        return 0;
    }
    if (args.size() < 5) {
        std::cerr << "usage: compact_bench_gen SOURCE TABLE DEST --mb N [--delete F] [--free F]\n"
                     "       compact_bench_gen SOURCE --grow TABLE[:W],... DEST --mb N [...]\n"
                     "       compact_bench_gen SOURCE --list\n";
        return 2;
    }
    const SizeOptions sizes = size_options(args, 3);
    const double mb = sizes.mb;
    const double delete_share = sizes.delete_share;
    const double free_share = sizes.free_share;
    const Database db(args[0]);
    if (db.header().encoding_key != 0) {
        throw Error(ErrorKind::invalid_argument, "Encoded sources are not supported here.");
    }
    const TableDef& t = db.table(args[1]);
    const Column* key = nullptr;
    if (const std::string why = unsuitable(db, t, &key); !why.empty()) {
        throw Error(ErrorKind::invalid_argument, "Table \"" + args[1] + "\" " + why + ".");
    }
    const PageFile& src = db.file();
    const std::uint32_t n0 = src.page_count();
    const auto target_pages =
        static_cast<std::uint32_t>(mb * 1024 * 1024 / static_cast<double>(src.page_size()));
    if (target_pages <= n0 + 16 || target_pages > jet4_format().max_pages - 64) {
        throw Error(ErrorKind::invalid_argument,
                    "--mb must lie between the source's size and 2 GB.");
    }

    // The template rows and the keys in use.
    std::vector<std::vector<std::uint8_t>> templates;
    db.for_each_row(
        t, [&](const RowRef& r) { templates.emplace_back(r.bytes.begin(), r.bytes.end()); });
    const RealIndex& pk = t.real_indexes[0];
    std::vector<IndexEntry> entries = read_index_entries(src, pk.root_page, t.page);
    std::int64_t next_id = 0;
    for (const auto& e : entries) {
        std::size_t off = 0;
        if (const auto v = read_integer_key(e.key, off, 4)) {
            next_id = std::max(next_id, *v);
        }
    }
    ++next_id;
    const bool ascending = pk.columns[0].ascending();

    OutputFile out(args[2], 0);
    std::set<std::uint32_t> free_pages;
    const FreeMap source_free = read_free_map(src);
    for (std::uint32_t p = 2; p < n0; ++p) {
        if (source_free.is_free(p)) {
            free_pages.insert(p);
        }
    }
    // The old index pages will be unreachable: free them.
    const auto old_tree = read_index_tree(src, pk.root_page);
    for (auto p : old_tree.pages) {
        free_pages.insert(p);
    }
    std::map<std::uint32_t, PageBuf> patched;  // old pages to rewrite

    // New data pages, with deleted slots and free pages among them.
    Random rnd;
    std::uint32_t next_page = n0;
    std::vector<std::uint32_t> data_pages;
    std::uint64_t live_added = 0;
    const std::uint32_t data_budget = target_pages - n0 - target_pages / 60 - 8;
    std::size_t k = 0;
    RowPacker packer(jet4_format());
    std::vector<std::vector<std::uint8_t>> page_rows;
    std::vector<bool> page_deleted;
    std::uint32_t current = 0;
    std::uint32_t page_number = 0;
    // A new page starts: some free pages may come before it.
    auto start_page = [&]() {
        while (rnd.next() < free_share) {
            free_pages.insert(next_page++);
        }
        page_number = next_page;
    };
    auto flush = [&]() {
        if (page_rows.empty()) {
            return;
        }
        PageBuf page = build_data_page(jet4_format(), page_rows, t.page);
        // Deleted rows keep their slot, empty and flagged; the space they
        // held stays free on the page.
        MutableBytes p(page.data(), page.size());
        std::size_t pos = jet4_format().page_size;
        for (std::size_t i = 0; i < page_rows.size(); ++i) {
            if (!page_deleted[i]) {
                pos -= page_rows[i].size();
                std::copy(page_rows[i].begin(), page_rows[i].end(), page.begin() + pos);
            }
            put_le16(p, 14 + 2 * i,
                     static_cast<std::uint16_t>(pos | (page_deleted[i] ? 0xC000 : 0)));
        }
        std::fill(page.begin() + 14 + 2 * page_rows.size(), page.begin() + pos, 0);
        put_le16(p, 2, static_cast<std::uint16_t>(pos - (14 + 2 * page_rows.size())));
        out.write_page(page_number, page);
        data_pages.push_back(page_number);
        next_page = page_number + 1;
        page_rows.clear();
        page_deleted.clear();
    };
    while (next_page < n0 + data_budget) {
        std::vector<std::uint8_t> row = templates[k++ % templates.size()];
        put_le32(row, 2 + key->fixed_offset, static_cast<std::uint32_t>(next_id));
        const RowPlace place = packer.add(row.size());
        if (place.page_index != current) {
            flush();
            current = place.page_index;
        }
        if (page_rows.empty()) {
            start_page();
        }
        const bool deleted = rnd.next() < delete_share;
        if (!deleted) {
            IndexEntry e;
            append_integer_key(e.key, next_id, 4, ascending);
            e.row = RowPointer{page_number, static_cast<std::uint8_t>(page_rows.size())};
            entries.push_back(std::move(e));
            ++live_added;
        }
        page_rows.push_back(std::move(row));
        page_deleted.push_back(deleted);
        ++next_id;
    }
    flush();

    // The primary-key index over all rows.
    std::sort(entries.begin(), entries.end(), entry_less);
    const auto plan = plan_index_tree(jet4_format(), entries, true);
    std::vector<std::uint32_t> index_pages;
    for (std::size_t i = 0; i < plan.page_count(); ++i) {
        index_pages.push_back(next_page++);
    }
    const std::uint32_t root =
        write_index_tree(plan, entries, index_pages, t.page,
                         [&](std::uint32_t n, const PageBuf& page) { out.write_page(n, page); });

    // Usage maps: the table's owned pages, its index pages.
    const UsageMap owned_old = read_usage_map(src, t.owned_map, "owned map");
    std::vector<std::uint32_t> owned(owned_old.pages.begin(), owned_old.pages.end());
    owned.insert(owned.end(), data_pages.begin(), data_pages.end());
    auto map_row = [&](const std::vector<std::uint32_t>& pages) {
        if (fits_inline_map(jet4_format(), pages)) {
            return build_inline_map_row(jet4_format(), pages);
        }
        std::vector<std::uint32_t> refs;
        for (auto block : bitmap_blocks_of(jet4_format(), pages)) {
            refs.resize(block + 1, 0);
            refs[block] = next_page;
            out.write_page(next_page++, build_bitmap_page(jet4_format(), block, pages));
        }
        return build_reference_map_row(jet4_format(), refs);
    };
    auto patch_map = [&](RowPointer where, const std::vector<std::uint32_t>& pages) {
        auto it = patched.find(where.page);
        if (it == patched.end()) {
            it = patched.emplace(where.page, src.read(where.page)).first;
        }
        write_map_row(it->second, where.row, map_row(pages), "usage map");
    };
    patch_map(t.owned_map, owned);
    if (t.free_map.page != 0) {
        patch_map(t.free_map, {});
    }
    patch_map(pk.map, index_pages);

    // The table definition: row count, statistics, root, autonumber.
    std::vector<std::uint8_t> def = t.buffer;
    put_le32(def, jet4_format().tdef.row_count,
             static_cast<std::uint32_t>(templates.size() + live_added));
    put_le32(def, pk.root_offset(), root);
    if (pk.stats.offset != 0) {
        put_le32(def, pk.stats.offset + 4, static_cast<std::uint32_t>(entries.size()));
        if (pk.stats.a != 0) {
            put_le32(def, pk.stats.offset, static_cast<std::uint32_t>(entries.size()));
        }
    }
    if ((key->flags & kColumnFlagAutoLong) != 0) {
        put_le32(def, jet4_format().tdef.autonumber, static_cast<std::uint32_t>(next_id - 1));
    }
    for (std::size_t i = 0; i < t.pages.size(); ++i) {
        auto it = patched.find(t.pages[i]);
        if (it == patched.end()) {
            it = patched.emplace(t.pages[i], src.read(t.pages[i])).first;
        }
        // Bytes 0-7 of every page (type, free space, next page) stay.
        const std::size_t from =
            i == 0 ? 8 : jet4_format().page_size + (i - 1) * (jet4_format().page_size - 8);
        for (std::size_t b = 8; b < jet4_format().page_size && from + (b - 8) < def.size(); ++b) {
            it->second[b] = def[from + (b - 8)];
        }
    }

    const std::uint32_t total = finish_file(out, src, n0, next_page, free_pages, patched);
    std::cout << args[2] << ": " << total << " pages, " << templates.size() + live_added
              << " live rows in " << args[1] << ", " << data_pages.size() << " new data pages\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const jet::Error& e) {
        std::cerr << "compact_bench_gen: " << e.what() << "\n";
        return 1;
    }
}
