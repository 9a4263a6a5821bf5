// A large fragmented database (over 200 MB, half of the grown table's rows
// deleted, some free pages) made by bench/compact_bench_gen from an
// Access-made corpus file: the compacted copy is close to half the size,
// verifies, and mdbtools and mdb-reader read the same rows from both files.
// And the benchmark's application shape (several tables of a Northwind grown
// with --grow) at a few MB: it checks clean, keys included, and compacts.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "jet/check/checker.h"
#include "jet/compact/compact.h"
#include "run_process.h"
#include "testsupport/corpus.h"

namespace {

namespace fs = std::filesystem;
using jettest::run_process;

std::vector<std::string> sorted_lines(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) {
            lines.push_back(line);
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(CompactLarge, A200MbDatabaseWithHalfItsRowsDeletedComesOutAboutHalf) {
    const auto dir = testsupport::corpus_dir();
    if (!dir) {
        GTEST_SKIP() << "the corpus is not available here";
    }
    testsupport::ScratchDir scratch;
    const fs::path big = scratch.path() / "big.mdb";
    const fs::path small = scratch.path() / "small.mdb";
    const auto gen = run_process(
        {COMPACT_BENCH_GEN, (*dir / "format-corpus/database-msaccess-flat.mdb").string(),
         "baseTable", big.string(), "--mb", "210", "--delete", "0.5", "--free", "0.05"});
    ASSERT_EQ(gen.exit_code, 0) << gen.err;
    const auto before = fs::file_size(big);
    ASSERT_GE(before, 200u * 1024 * 1024);

    jet::CompactResult r;
    ASSERT_NO_THROW(r = jet::compact(big, small, {}));  // verification included
    const double ratio = static_cast<double>(r.destination_bytes) / static_cast<double>(before);
    EXPECT_GT(ratio, 0.40);
    EXPECT_LT(ratio, 0.60);

    if (jettest::in_path("mdb-export")) {
        const auto a = run_process({"mdb-export", big.string(), "baseTable"});
        const auto b = run_process({"mdb-export", small.string(), "baseTable"});
        EXPECT_EQ(a.err, "");
        EXPECT_EQ(b.err, "");
        EXPECT_TRUE(sorted_lines(a.out, "") == sorted_lines(b.out, "")) << "mdb-export differs";
    }
    const char* source_dir = std::getenv("TARNWICK_SOURCE_DIR");
    if (source_dir != nullptr && jettest::in_path("node") &&
        fs::exists(fs::path(source_dir) / "scripts/oracle/node_modules")) {
        const std::string dump = (fs::path(source_dir) / "scripts/oracle/dump.mjs").string();
        const auto a = run_process({"node", dump, big.string(), "", "baseTable"});
        const auto b = run_process({"node", dump, small.string(), "", "baseTable"});
        EXPECT_EQ(a.err, "");
        EXPECT_EQ(b.err, "");
        const auto rows_a = sorted_lines(a.out, "R\t");
        EXPECT_GT(rows_a.size(), 100000u);
        EXPECT_TRUE(rows_a == sorted_lines(b.out, "R\t")) << "mdb-reader differs";
    }
}

TEST(CompactLarge, TheApplicationShapeChecksCleanAndCompacts) {
    std::optional<fs::path> northwind;
    for (const auto& f : testsupport::sweep_files()) {
        if (f.name == "files/hjgode+kbfakt+Northwind.mdb") {
            northwind = f.path;
        }
    }
    if (!northwind) {
        GTEST_SKIP() << "the sweep set is not available here";
    }
    testsupport::ScratchDir scratch;
    const fs::path big = scratch.path() / "app.mdb";
    const auto gen =
        run_process({COMPACT_BENCH_GEN, northwind->string(), "--grow",
                     "Orders:100,Order Details:250,Products:25,Suppliers:10,Employees:3",
                     big.string(), "--mb", "6", "--delete", "0.5", "--free", "0.05"});
    ASSERT_EQ(gen.exit_code, 0) << gen.err;
    // Every kind of long value is there.
    for (const char* kind : {" in the row", " in one LVAL row", " in chains"}) {
        const auto at = gen.out.find(kind);
        ASSERT_NE(at, std::string::npos) << gen.out;
        const auto from = gen.out.rfind(' ', at - 1) + 1;
        EXPECT_GT(std::stoul(gen.out.substr(from, at - from)), 0u) << kind << ": " << gen.out;
    }
    // Clean but for the pages the source itself leaves unused; every key
    // is compared with the one computed from its row.
    const jet::CheckReport report = jet::check_file(big);
    EXPECT_GT(report.rows, 8000u);  // the source has 4440
    for (const auto& f : report.findings) {
        EXPECT_EQ(f.code, "orphan-page") << f.description;
    }
    const fs::path small = scratch.path() / "small.mdb";
    jet::CompactResult r;
    ASSERT_NO_THROW(r = jet::compact(big, small, {}));  // verification included
    EXPECT_LT(r.destination_bytes, fs::file_size(big));
}

}  // namespace
