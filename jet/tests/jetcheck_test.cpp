// The jetcheck program as a script meets it: exit codes, text and JSON.
#include <gtest/gtest.h>

#include <fstream>

#include "jet/compact/compact.h"
#include "run_process.h"
#include "testsupport/corpus.h"

namespace {

namespace fs = std::filesystem;
using jettest::run_process;

jettest::ProcessResult jetcheck(std::vector<std::string> args) {
    args.insert(args.begin(), JETCHECK_PROGRAM);
    return run_process(args);
}

std::optional<testsupport::CorpusFile> corpus_file(const std::string& name) {
    for (const auto& f : testsupport::corpus_files()) {
        if (f.name == name) {
            return f;
        }
    }
    return std::nullopt;
}

TEST(Jetcheck, HelpVersionAndUsageErrors) {
    const auto help = jetcheck({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
    EXPECT_NE(help.out.find("64"), std::string::npos);
    const auto version = jetcheck({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, std::string("jetcheck ") + TARNWICK_VERSION + "\n");
    // Wrong usage is 64; after "--" a name beginning with a dash is a file.
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{}, 64},
        {{"--frobnicate", "x.mdb"}, 64},
        {{"a.mdb", "b.mdb"}, 64},
        {{"--password"}, 64},
        {{"--strict=1", "x.mdb"}, 64},
        {{"--", "--strict"}, 2},
    };
    for (const auto& [args, code] : cases) {
        const auto r = jetcheck(args);
        EXPECT_EQ(r.exit_code, code) << testing::PrintToString(args);
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_NE(jetcheck({"--frobnicate"}).err.find("--frobnicate"), std::string::npos);
}

TEST(Jetcheck, ACleanFileExitsZeroAndADamagedOneOne) {
    const auto good = corpus_file("access_parser/test.mdb");
    if (!good) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    const auto clean = jetcheck({good->path.string()});
    EXPECT_EQ(clean.exit_code, 0) << clean.out << clean.err;
    EXPECT_NE(clean.out.find("0 error(s)"), std::string::npos) << clean.out;

    // The catalog definition's magic number, changed in a copy whose name
    // needs escaping in JSON.
    testsupport::ScratchDir dir;
    const fs::path copy = dir.path() / "quote\"and\\slash.mdb";
    fs::copy_file(good->path, copy);
    {
        std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(2 * 4096 + 12);
        f.put(7).put(0);
    }
    const auto text = jetcheck({copy.string()});
    EXPECT_EQ(text.exit_code, 1);
    EXPECT_NE(text.out.find("error tdef-magic (page 2, table \"MSysObjects\")"), std::string::npos)
        << text.out;
    const auto json = jetcheck({"--json", copy.string()});
    EXPECT_EQ(json.exit_code, 1);
    EXPECT_NE(json.out.find("quote\\\"and\\\\slash.mdb"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"errors\":1,"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("{\"severity\":\"error\",\"code\":\"tdef-magic\",\"page\":2,"),
              std::string::npos)
        << json.out;
    // Damage to the catalog's definition: no salvage gets past it either.
    EXPECT_NE(
        json.out.find("\"table\":\"MSysObjects\",\"compaction\":\"refuse\",\"salvage\":false"),
        std::string::npos)
        << json.out;
    EXPECT_NE(text.out.find("The database is damaged: compaction refuses it."), std::string::npos)
        << text.out;
    EXPECT_EQ(text.out.find("--salvage"), std::string::npos) << text.out;
    EXPECT_EQ(json.out.back(), '\n');
    EXPECT_EQ(json.out.find('\n'), json.out.size() - 1);  // one line
}

TEST(Jetcheck, NotesAloneExitZeroUnlessStrict) {
    const auto file = corpus_file("mdb-reader/V2003_no-password.mdb");
    if (!file) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    const auto plain = jetcheck({file->path.string()});
    EXPECT_EQ(plain.exit_code, 0) << plain.out;
    EXPECT_NE(plain.out.find("note stale-id"), std::string::npos) << plain.out;
    const auto strict = jetcheck({"--strict", file->path.string()});
    EXPECT_EQ(strict.exit_code, 1);
    // Stale Ids are the database's values: no compaction claims to rebuild them.
    EXPECT_NE(strict.out.find("stale object Id error(s) are values the database holds"),
              std::string::npos)
        << strict.out;
}

TEST(Jetcheck, RefusalsExitTwoWithTheirDescription) {
    const auto files = testsupport::corpus_files();
    if (files.empty()) {
        GTEST_SKIP() << "corpus not found (TARNWICK_CORPUS)";
    }
    const auto missing = jetcheck({"/nonexistent/db.mdb"});
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_NE(missing.err.find("/nonexistent/db.mdb"), std::string::npos) << missing.err;
    for (const auto& f : files) {
        if (f.format == "jet3") {
            const auto r = jetcheck({f.path.string()});
            EXPECT_EQ(r.exit_code, 0) << f.name << r.err;
            break;
        }
    }
    // One Jet 4 file with a password and one encrypted .accdb: only the
    // latter needs it to be read at all (and for the planned size).
    for (const std::string format : {"jet4", "ace"}) {
        for (const auto& f : files) {
            if (f.format.rfind(format, 0) != 0 || f.password.empty()) {
                continue;
            }
            const auto right = jetcheck({"--password", f.password, f.path.string()});
            EXPECT_EQ(right.exit_code, 0) << right.err;
            EXPECT_NE(right.out.find("A compaction would write"), std::string::npos) << right.out;
            const auto wrong = jetcheck({"--password=wrong", f.path.string()});
            EXPECT_EQ(wrong.exit_code, 2);
            EXPECT_NE(wrong.err.find("Not a valid password."), std::string::npos) << wrong.err;
            EXPECT_EQ(jetcheck({f.path.string()}).exit_code, format == "ace" ? 2 : 0);
            break;
        }
    }
}

}  // namespace

namespace {

// The dry run's size is the size the compaction then writes, for files of
// every shape the corpus has (many tables, long values, moved rows, a
// password, an encoded file).
TEST(Jetcheck, TheDryRunGivesTheSizeOfTheCompactedCopy) {
    const auto dir = testsupport::corpus_dir();
    if (!dir) {
        GTEST_SKIP() << "corpus not available";
    }
    testsupport::ScratchDir scratch;
    for (const std::string name :
         {"jackcess/testIndexCodes@cc77d55.mdb", "jackcess/overflowTestV2003.mdb",
          "jackcessencrypt/db-enc.mdb", "tika/testAccess2_2000.mdb", "jackcess/delTestV2003.mdb"}) {
        SCOPED_TRACE(name);
        const auto r = jetcheck({"--json", (*dir / name).string()});
        const auto at = r.out.find("\"compacted_pages\":");
        ASSERT_NE(at, std::string::npos) << r.out;
        const auto pages = std::stoul(r.out.substr(at + 18));
        const auto out = scratch.path() / "out.mdb";
        std::filesystem::remove(out);
        jet::CompactOptions o;
        (void)jet::compact(*dir / name, out, o);
        EXPECT_EQ(pages * 4096, std::filesystem::file_size(out));
    }
}

}  // namespace
