#include "mdbtools_oracle.h"

#include <algorithm>
#include <cstdint>

#include "jet/compact/compactor.h"
#include "jet/format/data_page.h"
#include "jet/format/database.h"
#include "jet/format/usage_map.h"
#include "run_process.h"

namespace jettest {

namespace fs = std::filesystem;

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) {
        out.push_back(cur);
    }
    return out;
}

namespace {

std::string unquote(std::string s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') {
        s = s.substr(1, s.size() - 2);
    }
    return s;
}

}  // namespace

Export mdb_export(const fs::path& file, const std::string& table) {
    const auto r = run_process({"mdb-export", "-b", "hex", "-d", std::string(1, kField), "-R",
                                std::string(1, kRecord), file.string(), table});
    Export e;
    e.err = r.err;
    auto records = split(r.out, kRecord);
    if (records.empty()) {
        return e;
    }
    for (auto& c : split(records.front(), kField)) {
        e.columns.push_back(unquote(c));
    }
    for (std::size_t i = 1; i < records.size(); ++i) {
        auto fields = split(records[i], kField);
        fields.resize(e.columns.size());
        e.rows.push_back(std::move(fields));
    }
    return e;
}

IdCatalog read_catalog(const fs::path& file) {
    const Export e = mdb_export(file, "MSysObjects");
    IdCatalog c;
    const auto col = [&](const char* name) {
        return static_cast<std::size_t>(std::find(e.columns.begin(), e.columns.end(), name) -
                                        e.columns.begin());
    };
    const std::size_t id = col("Id");
    const std::size_t type = col("Type");
    const std::size_t name = col("Name");
    for (const auto& r : e.rows) {
        if (id >= r.size() || type >= r.size() || name >= r.size()) {
            continue;
        }
        c.objects.insert(r[id]);
        // Local tables, and linked ones (an ODBC link's Id names a cached
        // definition, which moves like a table's).
        if (r[type] == "1" || r[type] == "4" || r[type] == "6") {
            c.table_of[r[id]] = unquote(r[name]);
        }
    }
    return c;
}

Blind calculated_memos(const fs::path& file) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    Blind blind;
    for (const auto* obj : db.catalog().tables(true)) {
        for (const auto& c : db.table_def(obj->table_page()).columns) {
            if (c.calculated_long_value) {
                blind[obj->name].insert(c.name);
            }
        }
    }
    return blind;
}

Blind read_past_short_rows(const fs::path& file) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    Blind blind;
    for (const auto* obj : db.catalog().tables(true)) {
        const jet::TableDef& def = db.table_def(obj->table_page());
        std::size_t fewest = SIZE_MAX;
        db.for_each_row(def, [&](const jet::RowRef& r) {
            fewest = std::min<std::size_t>(fewest, jet::stored_column_count(def, r.bytes));
        });
        for (const auto& c : def.columns) {
            if (c.number >= fewest) {
                blind[obj->name].insert(c.name);
            }
        }
    }
    return blind;
}

void add_blind(Blind& to, const Blind& more) {
    for (const auto& [table, columns] : more) {
        to[table].insert(columns.begin(), columns.end());
    }
}

bool nulls_read_alike(const fs::path& source, const Export& copy, const std::string& table,
                      const std::set<std::string>& columns) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(source, o);
    const jet::TableDef& def = db.table(table);
    // Each row's pattern over `columns` in their (sorted) order.
    auto positions = [&](const auto& names, auto name_of) {
        std::vector<std::size_t> at;
        for (const auto& c : columns) {
            at.push_back(static_cast<std::size_t>(
                std::find_if(names.begin(), names.end(),
                             [&](const auto& n) { return name_of(n) == c; }) -
                names.begin()));
        }
        return at;
    };
    const auto in_def = positions(def.columns, [](const jet::Column& c) { return c.name; });
    const auto in_copy = positions(copy.columns, [](const std::string& n) { return n; });
    std::multiset<std::string> engine;
    for (const auto& row : db.read_rows(def)) {
        std::string nulls;
        for (const std::size_t i : in_def) {
            // mdb-export prints an empty text as it prints a null.
            const auto* text = i < row.size() ? std::get_if<std::string>(&row[i]) : nullptr;
            nulls +=
                i < row.size() && !jet::is_null(row[i]) && !(text && text->empty()) ? 'v' : 'N';
        }
        engine.insert(nulls);
    }
    std::multiset<std::string> oracle;
    for (const auto& r : copy.rows) {
        std::string nulls;
        for (const std::size_t i : in_copy) {
            nulls += i < r.size() && !r[i].empty() ? 'v' : 'N';
        }
        oracle.insert(nulls);
    }
    return engine == oracle;
}

bool blind_to(const Blind& blind, const std::string& table, const std::string& column) {
    const auto it = blind.find(table);
    return it != blind.end() && it->second.count(column) != 0;
}

std::map<std::string, std::vector<std::vector<std::string>>> query_parts(const fs::path& file) {
    const Export e = mdb_export(file, "MSysQueries");
    const auto at = std::find(e.columns.begin(), e.columns.end(), "ObjectId");
    std::map<std::string, std::vector<std::vector<std::string>>> parts;
    if (at == e.columns.end()) {
        return parts;
    }
    const auto id = static_cast<std::size_t>(at - e.columns.begin());
    for (const auto& r : e.rows) {
        parts[r[id]].push_back(r);
    }
    return parts;
}

std::size_t deleted_rows_mdbtools_reads(const fs::path& file, const std::string& table) {
    jet::OpenOptions o;
    o.verify_password = false;
    const jet::Database db(file, o);
    const jet::TableDef& def = db.table(table);
    std::size_t n = 0;
    for (const auto page : jet::read_usage_map(db.file(), def.owned_map, table).pages) {
        if (page >= db.page_count()) {
            continue;
        }
        const jet::PageBuf buf = db.read_page(page);
        if (jet::page_is_blank(buf)) {
            continue;
        }
        const jet::DataPage dp(db.file().format(), buf, page, db.where(page));
        if (dp.owner() != def.page) {
            continue;
        }
        for (const auto& slot : dp.slots()) {
            n += slot.deleted() && !slot.overflow() && slot.length() != 0 ? 1 : 0;
        }
    }
    return n;
}

std::vector<std::string> canonical_rows(const Export& e, const std::string& table,
                                        const IdCatalog& cat, const Blind& blind) {
    std::vector<std::string> rows;
    for (const auto& r : e.rows) {
        std::string line;
        for (std::size_t i = 0; i < r.size(); ++i) {
            if (blind_to(blind, table, e.columns[i])) {
                line += "(not compared)";
            } else {
                line += jet::is_id_column(table, e.columns[i]) ? cat.canonical(r[i]) : r[i];
            }
            line += kField;
        }
        rows.push_back(line);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

}  // namespace jettest
