// compact_bench_gen: grows an Access-made database into a large, fragmented
// one for the compaction benchmark and the large-file test.
//
//   compact_bench_gen SOURCE TABLE DEST --mb N [--delete 0.5] [--free 0.05]
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

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "jet/bytes.h"
#include "jet/checker.h"
#include "jet/data_page.h"
#include "jet/data_page_builder.h"
#include "jet/database.h"
#include "jet/error.h"
#include "jet/index_builder.h"
#include "jet/index_key.h"
#include "jet/index_tree.h"
#include "jet/output_file.h"
#include "jet/row.h"
#include "jet/table_def.h"
#include "jet/usage_map.h"
#include "jet/usage_map_builder.h"

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

int run(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
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
                     "       compact_bench_gen SOURCE --list\n";
        return 2;
    }
    double mb = 0;
    double delete_share = 0.5;
    double free_share = 0.05;
    for (std::size_t i = 3; i + 1 < args.size(); i += 2) {
        const double v = std::stod(args[i + 1]);
        if (args[i] == "--mb") {
            mb = v;
        } else if (args[i] == "--delete") {
            delete_share = v;
        } else if (args[i] == "--free") {
            free_share = v;
        }
    }
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

    // Page 1: the global map of free pages, inline or by reference.
    const std::uint32_t without_bitmaps = next_page;
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
