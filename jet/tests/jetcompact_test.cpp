// The jetcompact command line: options, exit codes, messages, the password
// kept by default, and compaction in place.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "jet/check/checker.h"
#include "jet/format/bytes.h"
#include "jet/format/database.h"
#include "jet/format/header.h"
#include "jet/format/table_def.h"
#include "run_process.h"
#include "testsupport/corpus.h"

namespace {

namespace fs = std::filesystem;
using jettest::run_process;

const std::string kProgram = JETCOMPACT_PROGRAM;

std::string corpus(const std::string& name) {
    return (*testsupport::corpus_dir() / name).string();
}

TEST(Jetcompact, HelpVersionAndUsageErrors) {
    const auto help = run_process({kProgram, "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("Usage: jetcompact"), std::string::npos);
    EXPECT_NE(help.out.find("64  wrong usage"), std::string::npos);
    const auto version = run_process({kProgram, "--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, std::string("jetcompact ") + TARNWICK_VERSION + "\n");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {kProgram},
             {kProgram, "only-one.mdb"},
             {kProgram, "--bogus", "a.mdb", "b.mdb"},
             {kProgram, "a.mdb", "b.mdb", "--password"},
             {kProgram, "--new-password", "x", "--remove-password", "a.mdb", "b.mdb"},
             {kProgram, "--json=yes", "a.mdb", "b.mdb"},
             {kProgram, "--in-place"},
             {kProgram, "--in-place", "a.mdb", "b.mdb"},
             {kProgram, "--backup", "a.mdb", "b.mdb"},
             {kProgram, "--salvage", "--in-place", "a.mdb"}}) {
        const auto r = run_process(args);
        EXPECT_EQ(r.exit_code, 64) << testing::PrintToString(args);
        EXPECT_FALSE(r.err.empty());
    }
}

TEST(Jetcompact, ExitCodesNameWhatWentWrong) {
    if (!testsupport::corpus_dir()) {
        GTEST_SKIP() << "the corpus is not available here";
    }
    testsupport::ScratchDir dir;
    const std::string out = (dir.path() / "out.mdb").string();
    const std::string locked = corpus("mdb-reader/V2003_with-password.mdb");

    const auto wrong = run_process({kProgram, "--password", "nope", locked, out});
    EXPECT_EQ(wrong.exit_code, 3);
    EXPECT_NE(wrong.err.find("Not a valid password."), std::string::npos);
    const auto missing = run_process({kProgram, locked, out});
    EXPECT_EQ(missing.exit_code, 3);

    // An Access 97 database keeps its password: changing it is refused.
    const auto jet3 =
        run_process({kProgram, "--new-password", "x", corpus("jackcess/testV1997.mdb"), out});
    EXPECT_NE(jet3.exit_code, 0);
    EXPECT_NE(jet3.err.find("Access 97"), std::string::npos) << jet3.err;
    EXPECT_FALSE(fs::exists(out));

    std::ofstream(out) << "keep me";
    const auto exists = run_process({kProgram, corpus("jackcess/testV2003.mdb"), out});
    EXPECT_EQ(exists.exit_code, 4);
    EXPECT_NE(exists.err.find("already exists"), std::string::npos);
    fs::remove(out);

    // Success: sizes at the end; the source's password kept by default.
    const auto ok = run_process({kProgram, "--password", "password", locked, out});
    EXPECT_EQ(ok.exit_code, 0) << ok.err;
    EXPECT_NE(ok.out.find(" bytes -> "), std::string::npos);
    EXPECT_EQ(ok.err, "") << "no progress line when stderr is not a terminal";
    EXPECT_EQ(jet::decode_password(jet::Database(out, {"password", true}).header()), "password");

    const std::string changed = (dir.path() / "changed.mdb").string();
    ASSERT_EQ(
        run_process({kProgram, "--password", "password", "--new-password", "Neu", locked, changed})
            .exit_code,
        0);
    EXPECT_EQ(jet::decode_password(jet::Database(changed, {"Neu", true}).header()), "Neu");
    const std::string removed = (dir.path() / "removed.mdb").string();
    ASSERT_EQ(
        run_process({kProgram, "--password", "password", "--remove-password", locked, removed})
            .exit_code,
        0);
    EXPECT_EQ(jet::decode_password(jet::Database(removed).header()), "");

    // An .accdb's password is its encryption: neither option is taken for one,
    // even where nothing would change.
    const std::string accdb_out = (dir.path() / "out.accdb").string();
    for (const auto& option :
         std::vector<std::vector<std::string>>{{"--new-password", "Neu"}, {"--remove-password"}}) {
        std::vector<std::string> args{kProgram};
        args.insert(args.end(), option.begin(), option.end());
        args.push_back(corpus("jackcess/testV2010.accdb"));
        args.push_back(accdb_out);
        const auto r = run_process(args);
        EXPECT_EQ(r.exit_code, 64) << option.front();
        EXPECT_NE(r.err.find("(.accdb) is the encryption"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(accdb_out));
    }
}

// A folder, a FIFO or a device is refused at once (nothing opens it, so a
// FIFO cannot block), in both forms.
// An encrypted .accdb, in place and into a new file: its password opens it
// and the copy keeps it; without it, or with another, exit 3 and nothing is
// written; the copy cannot be given another password. Passwords are never
// printed.
TEST(Jetcompact, AnEncryptedAccdbNeedsItsPasswordAndKeepsIt) {
    if (!testsupport::corpus_dir()) {
        GTEST_SKIP() << "the corpus is not available here";
    }
    testsupport::ScratchDir dir;
    const std::string src =
        testsupport::copy_to_scratch(corpus("jackcessencrypt/db2007-oldenc.accdb"), dir.path())
            .string();
    const std::string out = (dir.path() / "out.accdb").string();
    struct Case {
        std::vector<std::string> options;
        int exit_code;
    };
    for (const Case& c : std::vector<Case>{{{}, 3},
                                           {{"--password", "Zq7-wrong"}, 3},
                                           {{"--password", "Test123", "--new-password", "Zq7"}, 64},
                                           {{"--password", "Test123", "--remove-password"}, 64}}) {
        std::vector<std::string> args{kProgram};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {src, out});
        const auto r = run_process(args);
        EXPECT_EQ(r.exit_code, c.exit_code) << testing::PrintToString(c.options) << r.err;
        EXPECT_EQ(r.err.find("Zq7"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out));
    }
    const auto done = run_process({kProgram, "--password", "Test123", src, out});
    EXPECT_EQ(done.exit_code, 0) << done.err;
    const auto in_place = run_process({kProgram, "--password", "Test123", "--in-place", out});
    EXPECT_EQ(in_place.exit_code, 0) << in_place.err;
    const jet::Database db(out, jet::OpenOptions{std::string("Test123"), true});
    EXPECT_TRUE(db.header().office_encrypted());
    EXPECT_FALSE(db.catalog().tables(false).empty());
    EXPECT_THROW(jet::Database(out, jet::OpenOptions{std::nullopt, false}), jet::Error);
}

TEST(Jetcompact, ASourceThatIsNoRegularFileIsRefusedAtOnce) {
    testsupport::ScratchDir dir;
    const fs::path fifo = dir.path() / "fifo.mdb";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string out = (dir.path() / "out.mdb").string();
    jettest::RunOptions quick;
    quick.timeout = std::chrono::seconds(1);
    for (const auto& args :
         std::vector<std::vector<std::string>>{{kProgram, fifo.string(), out},
                                               {kProgram, "--in-place", fifo.string()},
                                               {kProgram, dir.path().string(), out},
                                               {kProgram, "/dev/zero", out}}) {
        const auto r = run_process(args, quick);
        EXPECT_FALSE(r.timed_out) << testing::PrintToString(args);
        EXPECT_EQ(r.exit_code, 5) << testing::PrintToString(args) << r.err;
        EXPECT_NE(r.err.find("is not a regular file"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out));
    }
}

// A copy in `dir` of the corpus's flat file with the 32-bit word at `offset`
// of table baseTable's definition set to `value`; empty when it has no such table.
fs::path flat_file_with_base_table_word(const fs::path& dir, std::size_t offset,
                                        std::uint32_t value) {
    const fs::path src = testsupport::copy_to_scratch(
        *testsupport::corpus_dir() / "format-corpus/database-msaccess-flat.mdb", dir);
    std::uint32_t tdef = 0;
    {
        const jet::Database db(src);
        for (const auto* obj : db.catalog().tables(false)) {
            tdef = obj->name == "baseTable" ? obj->table_page() : tdef;
        }
    }
    if (tdef == 0) {
        return {};
    }
    std::vector<std::uint8_t> word(4);
    jet::put_le32(word, 0, value);
    std::fstream f(src, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(tdef * jet::jet4_format().page_size + offset));
    f.write(reinterpret_cast<const char*>(word.data()), 4);
    return src;
}

// A counter set behind the highest value in use is raised and reported: a
// line of text, or an entry of --json's list.
TEST(Jetcompact, RepairsAreReportedAsLinesOrJson) {
    if (!testsupport::corpus_dir()) {
        GTEST_SKIP() << "the corpus is not available here";
    }
    testsupport::ScratchDir dir;
    const fs::path src =
        flat_file_with_base_table_word(dir.path(), jet::jet4_format().tdef.autonumber, 1);
    ASSERT_FALSE(src.empty());
    const auto text = run_process({kProgram, src.string(), (dir.path() / "a.mdb").string()});
    EXPECT_EQ(text.exit_code, 0) << text.err;
    EXPECT_EQ(text.out.rfind("repaired autonumber-behind: The autonumber counter of table "
                             "\"baseTable\" stood at 1, below the highest value in use; it was "
                             "raised to ",
                             0),
              0u)
        << text.out;
    // Relative names beginning with a dash, after "--".
    fs::rename(src, dir.path() / "-src.mdb");
    jettest::RunOptions in_dir;
    in_dir.cwd = dir.path();
    const auto json = run_process({kProgram, "--json", "--", "-src.mdb", "-b.mdb"}, in_dir);
    EXPECT_EQ(json.exit_code, 0) << json.err;
    EXPECT_NE(json.out.find("\"repairs\":[{\"code\":\"autonumber-behind\",\"table\":\"baseTable\""),
              std::string::npos)
        << json.out;
    EXPECT_TRUE(fs::exists(dir.path() / "-b.mdb"));
}

// Data lost: refused with exit 1 naming --salvage; with --salvage the copy is
// written, what was lost listed (as text, or "losses" in --json), exit 2.
TEST(Jetcompact, SalvageListsWhatIsLostAndExitsTwo) {
    if (!testsupport::corpus_dir()) {
        GTEST_SKIP() << "the corpus is not available here";
    }
    testsupport::ScratchDir dir;
    const fs::path src =
        flat_file_with_base_table_word(dir.path(), jet::jet4_format().tdef.magic, 7);
    ASSERT_FALSE(src.empty());
    const std::string a = (dir.path() / "a.mdb").string();
    const auto refused = run_process({kProgram, src.string(), a});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find("tdef-magic"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--salvage"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(a));

    const auto text = run_process({kProgram, "--salvage", src.string(), a});
    EXPECT_EQ(text.exit_code, 2) << text.err;
    // Only what was lost is listed: not the index entries of the rows given up.
    EXPECT_EQ(text.out.rfind("left out table \"baseTable\": its definition or its list of pages "
                             "cannot be read; 4 row(s) "
                             "lost\n",
                             0),
              0u)
        << text.out;
    EXPECT_FALSE(jet::check_file(a).has_errors());
    const auto json = run_process(
        {kProgram, "--salvage", "--json", src.string(), (dir.path() / "b.mdb").string()});
    EXPECT_EQ(json.exit_code, 2) << json.err;
    EXPECT_NE(json.out.find("\"losses\":[{\"table\":\"baseTable\",\"left_out\":true,"),
              std::string::npos)
        << json.out;
    // A sound file salvages as it compacts: nothing lost, exit 0.
    const auto sound =
        run_process({kProgram, "--salvage", "--json", a, (dir.path() / "c.mdb").string()});
    EXPECT_EQ(sound.exit_code, 0) << sound.err;
    EXPECT_NE(sound.out.find("\"losses\":[]"), std::string::npos) << sound.out;
}

std::string read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t files_in(const fs::path& dir) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// In place: the database's path holds a verified copy that checks clean;
// --backup keeps the original beside it byte for byte and names it, as a
// line of text or "backup" in --json (null without --backup).
TEST(Jetcompact, InPlaceKeepsTheOriginalOnlyWhenAsked) {
    if (!testsupport::corpus_dir()) {
        GTEST_SKIP() << "the corpus is not available here";
    }
    struct Case {
        std::vector<std::string> options;
        const char* backup_marker;  // what precedes the backup's path; nullptr: none kept
    };
    const std::vector<Case> cases = {
        {{"--in-place"}, nullptr},
        {{"--in-place", "--backup"}, "kept the original as "},
        {{"--json", "--in-place"}, nullptr},
        {{"--json", "--backup", "--in-place"}, "\"backup\":\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        testsupport::ScratchDir dir;
        const fs::path db = testsupport::copy_to_scratch(
            *testsupport::corpus_dir() / "jackcess/testV2003.mdb", dir.path());
        const std::string before = read_all(db);
        std::vector<std::string> args = {kProgram};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(db.string());
        const auto r = run_process(args);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_LT(fs::file_size(db), before.size());
        EXPECT_FALSE(jet::check_file(db).has_errors());
        const bool json = c.options.front() == "--json";
        EXPECT_NE(r.out.find(json ? "\"source_bytes\":3162112," : " bytes -> "), std::string::npos)
            << r.out;
        if (c.backup_marker == nullptr) {
            EXPECT_EQ(files_in(dir.path()), 1u);
            if (json) {
                EXPECT_NE(r.out.find("\"backup\":null}"), std::string::npos) << r.out;
            }
            continue;
        }
        const std::size_t at = r.out.find(c.backup_marker);
        ASSERT_NE(at, std::string::npos) << r.out;
        const std::size_t from = at + std::string(c.backup_marker).size();
        const fs::path backup = r.out.substr(from, r.out.find_first_of("\"\n", from) - from);
        EXPECT_EQ(backup.parent_path(), db.parent_path());
        EXPECT_EQ(read_all(backup), before);
        EXPECT_EQ(files_in(dir.path()), 2u);
    }
}

// A database another program holds a lock on exits 6 in both forms and is
// left as it was, with nothing beside it.
TEST(Jetcompact, ADatabaseInUseExitsSix) {
    if (!testsupport::corpus_dir()) {
        GTEST_SKIP() << "the corpus is not available here";
    }
    testsupport::ScratchDir dir;
    const fs::path db = testsupport::copy_to_scratch(
        *testsupport::corpus_dir() / "jackcess/testV2003.mdb", dir.path());
    const std::string before = read_all(db);
    const jettest::LockHolder holder(db, 0x10000000, 1);  // as Jet locks, past the end
    for (const auto& args : std::vector<std::vector<std::string>>{
             {kProgram, db.string(), (dir.path() / "out.mdb").string()},
             {kProgram, "--in-place", db.string()},
             {kProgram, "--in-place", "--backup", "--json", db.string()}}) {
        const auto r = run_process(args);
        EXPECT_EQ(r.exit_code, 6) << testing::PrintToString(args) << r.err;
        EXPECT_NE(r.err.find("is in use"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(read_all(db), before);
        EXPECT_EQ(files_in(dir.path()), 1u);
    }
}

// Two in-place compactions of one file started together: the lock lets at
// most one of them in at a time (the other exits 6, or runs after it), and
// the file checks clean afterwards with nothing left beside it.
TEST(Jetcompact, TwoInPlaceCompactionsOfOneFileAtOnce) {
    std::optional<testsupport::CorpusFile> largest;
    for (const auto& f : testsupport::corpus_files("jet4")) {
        if (f.password.empty() &&
            (!largest || fs::file_size(f.path) > fs::file_size(largest->path))) {
            largest = f;
        }
    }
    if (!largest) {
        GTEST_SKIP() << "the corpus is not available here";
    }
    testsupport::ScratchDir dir;
    const fs::path db = testsupport::copy_to_scratch(largest->path, dir.path());
    jettest::Process first({kProgram, "--in-place", db.string()});
    jettest::Process second({kProgram, "--in-place", db.string()});
    int succeeded = 0;
    for (jettest::Process* p : {&first, &second}) {
        const auto r = p->wait();
        EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 6) << r.exit_code << ": " << r.err;
        if (r.exit_code == 6) {
            EXPECT_NE(r.err.find("is in use"), std::string::npos) << r.err;
        }
        succeeded += r.exit_code == 0 ? 1 : 0;
    }
    EXPECT_GE(succeeded, 1);
    EXPECT_FALSE(jet::check_file(db).has_errors());
    EXPECT_EQ(files_in(dir.path()), 1u);
}

}  // namespace
