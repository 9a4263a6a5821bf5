#include "jet/liveness.h"

#include "jet/data_page.h"
#include "jet/database.h"
#include "jet/error.h"
#include "jet/index_tree.h"
#include "jet/long_value.h"
#include "jet/usage_map.h"

namespace jet {

namespace {

class Walker {
  public:
    Walker(const Database& db, Liveness& out) : db_(db), out_(out) {}

    void claim(std::uint32_t page, PageRole role, std::uint32_t table) {
        const PageOwner owner{role, table};
        auto [it, inserted] = out_.owners.emplace(page, owner);
        if (inserted) {
            return;
        }
        const PageOwner& first = it->second;
        if (first.role == role && (first.table == table || role == PageRole::map_holder)) {
            return;  // the same claim again, or a holder page shared by several tables
        }
        out_.conflicts.push_back(OwnershipConflict{page, first, owner});
    }

    // Claims the holder page and bitmap pages of a map; returns the map.
    UsageMap map(RowPointer where, std::uint32_t table, const std::string& what) {
        UsageMap m = read_usage_map(db_.file(), where, what);
        if (m.kind == UsageMap::Kind::absent) {
            return m;
        }
        claim(where.page, where.page == 1 ? PageRole::global_map : PageRole::map_holder,
              where.page == 1 ? 0 : table);
        for (const std::uint32_t b : m.bitmap_pages) {
            if (b != 0 && b < 0x80000000u) {
                claim(b, PageRole::usage_bitmap, table);
            }
        }
        return m;
    }

    void claim_all(const UsageMap& m, PageRole role, std::uint32_t table) {
        for (const std::uint32_t p : m.pages) {
            if (p < db_.page_count()) {
                claim(p, role, table);
            }
        }
    }

    void table(const TableDef& t) {
        const std::string name = "table \"" + t.name_hint + "\"";
        for (const std::uint32_t p : t.pages) {
            claim(p, PageRole::table_def, t.page);
        }
        claim_all(map(t.owned_map, t.page, "owned-pages map of " + name), PageRole::table_data,
                  t.page);
        claim_all(map(t.free_map, t.page, "free-space map of " + name), PageRole::table_data,
                  t.page);
        for (const RealIndex& x : t.real_indexes) {
            claim_all(
                map(x.map, t.page, "map of index " + std::to_string(x.ordinal) + " of " + name),
                PageRole::index, t.page);
        }
        std::vector<const Column*> lv_columns;
        for (const Column& c : t.columns) {
            if (c.is_long_value()) {
                lv_columns.push_back(&c);
            }
        }
        for (const LongValueMaps& m : t.long_value_maps) {
            const std::string what =
                "long-value map of column " + std::to_string(m.column) + " of " + name;
            claim_all(map(m.owned, t.page, what), PageRole::long_value, t.page);
            claim_all(map(m.free, t.page, what), PageRole::long_value, t.page);
        }
        if (lv_columns.empty()) {
            return;
        }
        // Long values are found through their descriptors too: older writers
        // leave LVAL pages out of every map.
        db_.for_each_row(t, [&](const RowRef& r) {
            const std::string what =
                "row " + std::to_string(r.data.row) + " of " + db_.where(r.data.page);
            const RowLayout layout = parse_row_layout(t, r.bytes, what);
            for (const Column* c : lv_columns) {
                const auto span = locate_column(*c, layout, r.bytes, what);
                if (!span) {
                    continue;
                }
                const std::string where = what + ", column \"" + c->name + "\"";
                const LongValueDescriptor d =
                    LongValueDescriptor::parse(r.bytes.subspan(span->offset, span->length), where);
                for (const RowPointer& p : long_value_rows(db_.file(), d, where)) {
                    claim(p.page, PageRole::long_value, t.page);
                }
            }
        });
    }

  private:
    const Database& db_;
    Liveness& out_;
};

}  // namespace

Liveness compute_liveness(const Database& db) {
    Liveness out;
    Walker w(db, out);
    w.claim(0, PageRole::header, 0);
    w.claim(1, PageRole::global_map, 0);
    const FreeMap free = read_free_map(db.file());
    for (const std::uint32_t b : free.map.bitmap_pages) {
        if (b != 0 && b < 0x80000000u) {
            w.claim(b, PageRole::usage_bitmap, 0);
        }
    }
    std::vector<std::uint32_t> tables{kCatalogPage};
    for (const CatalogObject* o : db.catalog().tables(true)) {
        const std::uint32_t page = o->table_page();
        if (page == kCatalogPage) {
            continue;
        }
        // A catalog row may name a table that no longer exists (a stale Id);
        // it owns nothing.
        if (page == 0 || page >= db.page_count() || db.read_page(page)[0] != kPageTypeTableDef) {
            out.stale_tables.push_back(page);
            continue;
        }
        tables.push_back(page);
    }
    for (const std::uint32_t page : tables) {
        w.table(db.table_def(page));
    }
    return out;
}

}  // namespace jet
