// The sweep set: real databases that applications left in public
// repositories (shops, payroll, schools, CMSs), kept beside the corpus. A
// rule that refuses real files must never land unseen: every file — Jet 3,
// Jet 4 and ACE — compacts with its password, and the copy reads alike in
// mdbtools (every table, system tables included, Ids named through each
// file's own catalog) and keeps the order of every saved query's parts.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "jet/compact/compact.h"
#include "jet/format/error.h"
#include "mdbtools_oracle.h"
#include "run_process.h"
#include "testsupport/corpus.h"

namespace {

namespace fs = std::filesystem;

// What differs between two files in mdbtools' reading ("" when nothing).
std::string read_alike(const fs::path& a, const fs::path& b) {
    const auto tables_a = jettest::run_process({"mdb-tables", "-S", "-1", a.string()});
    const auto tables_b = jettest::run_process({"mdb-tables", "-S", "-1", b.string()});
    // mdbtools lists a moved catalog row where its bytes are: the copy keeps
    // the catalog's order, so the lists are compared as sets.
    auto sorted = [](const std::string& text) {
        auto lines = jettest::split(text, '\n');
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    if (sorted(tables_a.out) != sorted(tables_b.out)) {
        return "mdb-tables lists other tables";
    }
    const jettest::IdCatalog cat_a = jettest::read_catalog(a);
    const jettest::IdCatalog cat_b = jettest::read_catalog(b);
    jettest::Blind blind = jettest::calculated_memos(a);
    const jettest::Blind short_rows = jettest::read_past_short_rows(a);
    jettest::add_blind(blind, short_rows);
    for (const auto& table : jettest::split(tables_a.out, '\n')) {
        const jettest::Export x = jettest::mdb_export(a, table);
        const jettest::Export y = jettest::mdb_export(b, table);
        if (x.columns != y.columns) {
            return "mdb-export reads other columns of table \"" + table + "\"";
        }
        if (const auto it = short_rows.find(table);
            it != short_rows.end() && !jettest::nulls_read_alike(a, y, table, it->second)) {
            return "mdb-export reads values in table \"" + table +
                   "\" where the source's rows hold none";
        }
        const auto rows_a = jettest::canonical_rows(x, table, cat_a, blind);
        const auto rows_b = jettest::canonical_rows(y, table, cat_b, blind);
        if (rows_a == rows_b) {
            continue;
        }
        // mdbtools also reads some rows deleted in the source; the copy
        // holds none: every row it holds must be one of the source's, and
        // no more rows missing than the source has deleted ones.
        const bool deleted_only =
            std::includes(rows_a.begin(), rows_a.end(), rows_b.begin(), rows_b.end()) &&
            rows_a.size() - rows_b.size() <= jettest::deleted_rows_mdbtools_reads(a, table) &&
            jettest::deleted_rows_mdbtools_reads(b, table) == 0;
        if (!deleted_only) {
            return "mdb-export reads other rows of table \"" + table + "\"";
        }
    }
    if (jettest::query_parts(a) != jettest::query_parts(b)) {
        return "the rows of a saved query in MSysQueries come out in another order";
    }
    return "";
}

TEST(Sweep, EveryRealFileTheEngineReadsCompactsAndReadsAlike) {
    const auto files = testsupport::sweep_files();
    if (files.empty()) {
        GTEST_SKIP() << "the sweep set is not available here";
    }
    if (!jettest::in_path("mdb-export")) {
        GTEST_SKIP() << "mdbtools is not installed";
    }
    std::vector<std::string> failures;
    std::size_t compacted = 0;
    for (const auto& f : files) {
        testsupport::ScratchDir dir;
        // A compaction locks its source: it works on a copy.
        const fs::path source = testsupport::copy_to_scratch(f.path, dir.path());
        const fs::path out = dir.path() / ("compacted" + f.path.extension().string());
        jet::CompactOptions o;
        if (!f.password.empty()) {
            o.source_password = f.password;
            o.destination_password = f.password;
        }
        try {
            jet::compact(source, out, o);
        } catch (const jet::Error& e) {
            // Every format of the set is read: Jet 3, Jet 4 and ACE alike.
            failures.push_back(f.name + " (" + f.format + "): " + e.what());
            continue;
        }
        ++compacted;
        if (const std::string what = read_alike(source, out); !what.empty()) {
            failures.push_back(f.name + ": " + what);
        }
    }
    std::cout << compacted << " of " << files.size() << " sweep files compacted\n";
    std::string all;
    for (const auto& x : failures) {
        all += "\n  " + x;
    }
    EXPECT_TRUE(failures.empty()) << failures.size() << " real file(s) refused or changed:" << all;
    EXPECT_GT(compacted, 0u);
}

}  // namespace
