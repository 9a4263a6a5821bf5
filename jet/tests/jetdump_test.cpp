// jetdump run as a script would run it: exit codes, listings, schema and
// the canonical CSV/JSON export.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "jet/format/page_file.h"
#include "run_process.h"
#include "testsupport/corpus.h"

namespace {

jettest::ProcessResult jetdump(std::vector<std::string> args) {
    args.insert(args.begin(), JETDUMP_PROGRAM);
    return jettest::run_process(args);
}

std::string corpus(const std::string& name) {
    const auto dir = testsupport::corpus_dir();
    return dir ? (*dir / name).string() : std::string();
}

#define REQUIRE_CORPUS()                        \
    if (!testsupport::corpus_dir()) {           \
        GTEST_SKIP() << "corpus not available"; \
    }

bool contains(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

TEST(Jetdump, HelpVersionAndUsageErrors) {
    auto r = jetdump({"--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(contains(r.out, "Exit status"));
    EXPECT_TRUE(contains(r.out, "Canonical form"));
    r = jetdump({"--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, std::string("jetdump ") + TARNWICK_VERSION + "\n");
    // Wrong usage is 64; after "--" a name beginning with a dash is a file.
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{}, 64},
        {{"--frobnicate", "x.mdb"}, 64},
        {{"--csv"}, 64},
        {{"--csv", "A", "--json", "B", "x.mdb"}, 64},
        {{"--entries", "A", "--schema", "A", "x.mdb"}, 64},
        {{"a.mdb", "b.mdb"}, 64},
        {{"--system=yes", "x.mdb"}, 64},
        {{"--", "--system"}, 2},
    };
    for (const auto& [args, code] : cases) {
        r = jetdump(args);
        EXPECT_EQ(r.exit_code, code) << testing::PrintToString(args);
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_TRUE(contains(jetdump({"--frobnicate"}).err, "unknown option '--frobnicate'"));
}

TEST(Jetdump, ListsTablesAndSystemTablesOnRequest) {
    REQUIRE_CORPUS();
    auto r = jetdump({corpus("tika/testAccess2_2000.mdb")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "Table1\nTable2\n");
    r = jetdump({"--system", corpus("tika/testAccess2_2000.mdb")});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(contains(r.out, "MSysObjects\n"));
    EXPECT_TRUE(contains(r.out, "Table2\n"));
}

TEST(Jetdump, SchemaAndCanonicalExport) {
    REQUIRE_CORPUS();
    const std::string file = corpus("jackcess/testV2003.mdb");
    auto r = jetdump({"--schema", "table1", file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "[0] A: Text(100)"));
    EXPECT_TRUE(contains(r.out, "[7] H: Currency"));
    EXPECT_TRUE(contains(r.out, "PrimaryKey: A unique"));

    // The same rows mdb-export prints, in the canonical form.
    r = jetdump({"--csv", "Table1", file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out,
              "A,B,C,D,E,F,G,H,I\n"
              "abcdefg,hijklmnop,2,222,333333333,444.555,1974-09-21 00:00:00,3.5000,1\n"
              "a,b,0,0,0,0,1981-12-12 00:00:00,0.0000,0\n");
    r = jetdump({"--json", "Table1", file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.out,
                         "{\"A\": \"abcdefg\", \"B\": \"hijklmnop\", \"C\": 2, \"D\": 222, "
                         "\"E\": 333333333, \"F\": 444.555, \"G\": \"1974-09-21 00:00:00\", "
                         "\"H\": 3.5000, \"I\": true}"))
        << r.out;

    // Index entries beside the values of the rows they point to.
    r = jetdump({"--entries", "Table1", file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out,
              "index 0 \"PrimaryKey\": A (root page 28)\n"
              "  27:1  7F 4A 01 00  A=a  ok\n"
              "  27:0  7F 4A 4C 4D 4F 51 53 55 01 00  A=abcdefg  ok\n"
              "index 1 \"B\": B (root page 26)\n"
              "  27:1  7F 4C 01 00  B=b  ok\n"
              "  27:0  7F 57 59 5B 5C 5E 60 62 64 66 01 00  B=hijklmnop  ok\n");

    r = jetdump({"--csv", "NoSuchTable", file});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.err, "NoSuchTable"));
}

TEST(Jetdump, RefusalsExitTwoDamageExitsThree) {
    REQUIRE_CORPUS();
    auto r = jetdump({corpus("mdb-reader/V2003_with-password.mdb")});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(contains(r.err, "Not a valid password.")) << r.err;
    r = jetdump({"--password", "wrong", corpus("mdb-reader/V2003_with-password.mdb")});
    EXPECT_EQ(r.exit_code, 2);
    r = jetdump({"--password", "password", corpus("mdb-reader/V2003_with-password.mdb")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(jetdump({"/nonexistent/file.mdb"}).exit_code, 2);
    // An encrypted .accdb: nothing without its password, its tables with it.
    const std::string encrypted = corpus("jackcessencrypt/db2013-enc.accdb");
    r = jetdump({encrypted});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(contains(r.err, "Not a valid password.")) << r.err;
    r = jetdump({"--password", "1234", "--csv", "Customers", encrypted});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 8) << r.out;  // 7 rows

    // The catalog's definition page turned into a data page.
    testsupport::ScratchDir dir;
    const auto copy = testsupport::copy_to_scratch(corpus("jackcess/testV2003.mdb"), dir.path());
    {
        std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(2 * jet::jet4_format().page_size);
        f.put('\x01');
    }
    r = jetdump({copy.string()});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(contains(r.err, "page 2")) << r.err;
}

}  // namespace
