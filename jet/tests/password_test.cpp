// A compacted copy given another password, or none: the SIDs of its
// MSysACEs and MSysObjects are masked again under the new page 0, so they
// unmask to the same plain SIDs as the source's; verification refuses a copy
// whose SIDs do not match its page 0; an .accdb's password is not changed.

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "jet/compact/compact.h"
#include "jet/compact/compactor.h"
#include "jet/compact/output_file.h"
#include "jet/compact/verify.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/header.h"
#include "jet/format/row.h"
#include "jet/format/sid_mask.h"
#include "run_process.h"
#include "testsupport/corpus.h"

namespace {

namespace fs = std::filesystem;
using jettest::run_process;

#define REQUIRE_CORPUS()                                    \
    if (!testsupport::corpus_dir()) {                       \
        GTEST_SKIP() << "the corpus is not available here"; \
    }

std::optional<std::string> given(const std::string& password) {
    return password.empty() ? std::nullopt : std::optional<std::string>(password);
}

// Every SID of `file` as "table:hex", sorted: as stored, or unmasked under
// the file's own page 0.
std::vector<std::string> sids_of(const fs::path& file, const std::string& password, bool unmask) {
    jet::OpenOptions o;
    o.password = given(password);
    const jet::Database db(file, o);
    const jet::SidMask mask(jet::sid_key(db.header().plain));
    std::vector<std::string> out;
    for (const auto& [table, column] :
         {std::pair<std::string, std::string>{"MSysObjects", "Owner"}, {"MSysACEs", "SID"}}) {
        const jet::TableDef& t = db.table(table);
        const jet::Column* c = t.find_column(column);
        EXPECT_NE(c, nullptr) << table;
        if (c == nullptr) {
            continue;
        }
        db.for_each_row(t, [&](const jet::RowRef& r) {
            const jet::RowLayout layout = jet::parse_row_layout(t, r.bytes, "row");
            const auto span = jet::locate_column(*c, layout, r.bytes, "row");
            if (!span) {
                return;
            }
            std::vector<std::uint8_t> v(
                r.bytes.begin() + static_cast<std::ptrdiff_t>(span->offset),
                r.bytes.begin() + static_cast<std::ptrdiff_t>(span->offset + span->length));
            if (unmask) {
                mask.apply(v);
            }
            std::string hex = table + ":";
            for (const std::uint8_t b : v) {
                static const char kDigits[] = "0123456789abcdef";
                hex += kDigits[b >> 4];
                hex += kDigits[b & 15];
            }
            out.push_back(hex);
        });
    }
    std::sort(out.begin(), out.end());
    return out;
}

// What mdb-export reads from every user table, each table's lines sorted
// (the copy holds its rows in another order).
std::vector<std::string> exported(const fs::path& file) {
    std::vector<std::string> out;
    std::istringstream tables(run_process({"mdb-tables", "-1", file.string()}).out);
    for (std::string table; std::getline(tables, table);) {
        std::istringstream rows(run_process({"mdb-export", "-b", "hex", file.string(), table}).out);
        std::vector<std::string> lines;
        for (std::string line; std::getline(rows, line);) {
            lines.push_back(line);
        }
        std::sort(lines.begin(), lines.end());
        out.push_back("table " + table);
        out.insert(out.end(), lines.begin(), lines.end());
    }
    return out;
}

fs::path compacted(const fs::path& from, const std::string& password, const std::string& to,
                   const fs::path& dest) {
    jet::CompactOptions o;
    o.source_password = given(password);
    o.destination_password = given(to);
    jet::compact(from, dest, o);
    return dest;
}

// Password-protected files, an encoded one and files without a password.
TEST(PasswordChange, SidsFollowTheNewPasswordAndComeBackExactly) {
    REQUIRE_CORPUS();
    const bool oracle = jettest::in_path("mdb-export") && jettest::in_path("mdb-tables");
    for (const char* name :
         {"mdb-reader/V2000_with-password.mdb", "mdb-reader/V2003_with-password.mdb",
          "ucanaccess/password.mdb", "jackcessencrypt/db-enc.mdb", "access_parser/test.mdb",
          "mdb-reader/V2003_no-password.mdb"}) {
        SCOPED_TRACE(name);
        const auto files = testsupport::corpus_files();
        const auto f =
            std::find_if(files.begin(), files.end(),
                         [&](const testsupport::CorpusFile& c) { return c.name == name; });
        ASSERT_NE(f, files.end());
        testsupport::ScratchDir dir;
        // A copy: compacting locks its source, as other tests may lock the corpus file.
        const fs::path source = testsupport::copy_to_scratch(f->path, dir.path());
        const std::string& pw = f->password;
        const std::string other = "Tarn wick 2";
        const auto plain = sids_of(source, pw, true);
        const auto stored = sids_of(source, pw, false);
        ASSERT_FALSE(plain.empty());

        // Given another password: the stored SIDs change, the plain ones do not.
        const fs::path changed = compacted(source, pw, other, dir.path() / "changed.mdb");
        EXPECT_EQ(sids_of(changed, other, true), plain);
        EXPECT_NE(sids_of(changed, other, false), stored);
        // Changed back: the source's SID bytes exactly.
        const fs::path back = compacted(changed, other, pw, dir.path() / "back.mdb");
        EXPECT_EQ(sids_of(back, pw, false), stored);
        if (!pw.empty()) {
            const fs::path freed = compacted(source, pw, "", dir.path() / "freed.mdb");
            EXPECT_EQ(sids_of(freed, "", true), plain);
            EXPECT_NE(sids_of(freed, "", false), stored);
        }
        if (oracle) {
            const auto rows = exported(source);
            EXPECT_EQ(exported(changed), rows) << "mdb-export reads the copy differently";
            EXPECT_EQ(exported(back), rows) << "mdb-export reads the copy differently";
        }
    }
}

// The fold of the key, checked against what Access wrote: in every Jet 4
// file of the corpus (created on different days, with different passwords
// or none) the Tables container belongs to the same SID.
TEST(SidMask, TheTablesContainerOfEveryAccessFileUnmasksToOneOwner) {
    REQUIRE_CORPUS();
    std::size_t seen = 0;
    for (const auto& f : testsupport::corpus_files("jet4")) {
        SCOPED_TRACE(f.name);
        jet::OpenOptions o;
        o.password = given(f.password);
        const jet::Database db(f.path, o);
        const jet::SidMask mask(jet::sid_key(db.header().plain));
        const jet::TableDef& t = db.table("MSysObjects");
        std::size_t name = t.columns.size();
        std::size_t owner = t.columns.size();
        for (std::size_t i = 0; i < t.columns.size(); ++i) {
            name = t.columns[i].name == "Name" ? i : name;
            owner = t.columns[i].name == "Owner" ? i : owner;
        }
        ASSERT_TRUE(name < t.columns.size() && owner < t.columns.size());
        std::size_t found = 0;
        for (const auto& row : db.read_rows(t)) {
            const auto* n = std::get_if<std::string>(&row[name]);
            const auto* sid = std::get_if<jet::Binary>(&row[owner]);
            if (n == nullptr || *n != "Tables" || sid == nullptr) {
                continue;
            }
            std::vector<std::uint8_t> plain = sid->bytes;
            mask.apply(plain);
            EXPECT_EQ(plain, (std::vector<std::uint8_t>{0x02, 0x03}));
            ++found;
        }
        EXPECT_EQ(found, 1u);
        seen += found;
    }
    EXPECT_GT(seen, 50u);
}

// A copy whose SIDs do not match its page 0 is refused: the password field
// written alone, or the SIDs masked again under a page 0 that was not written.
TEST(PasswordChange, VerificationRefusesSidsThatDoNotMatchPageZero) {
    REQUIRE_CORPUS();
    const fs::path source = *testsupport::corpus_dir() / "mdb-reader/V2003_with-password.mdb";
    const std::string other = "Neu";
    testsupport::ScratchDir dir;
    const jet::Database src = jet::Database::open(source, "password");
    jet::PageBuf renamed = src.header().raw;
    jet::set_password(jet::MutableBytes(renamed.data(), renamed.size()), other);
    struct Case {
        const char* what;
        const jet::PageBuf& written;  // the page 0 the compactor is given
        const jet::PageBuf& final;    // page 0 as the copy ends up
        bool passes;
    };
    const Case cases[] = {
        {"masked again", renamed, renamed, true},
        {"only the password field changed", src.header().raw, renamed, false},
        {"page 0 left as it was", renamed, src.header().raw, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path copy = dir.path() / "copy.mdb";
        fs::remove(copy);
        jet::CompactorResult result;
        {
            jet::OutputFile out(copy, 0);
            result = jet::write_compacted(src, out, c.written, {});
            out.write_page(0, c.final);
            out.commit(0644, ::getuid(), ::getgid());
        }
        jet::OpenOptions o;
        o.verify_password = false;
        const jet::Database written(copy, o);
        try {
            jet::verify_compacted(src, written, result.ids, result.source_has_stale_ids,
                                  "copy.mdb");
            EXPECT_TRUE(c.passes) << "a copy whose SIDs do not match its page 0 passed";
        } catch (const jet::Error& e) {
            EXPECT_FALSE(c.passes) << e.what();
            EXPECT_EQ(e.kind(), jet::ErrorKind::verification_failed);
            EXPECT_NE(std::string(e.what()).find("the rows of table \"MSys"), std::string::npos)
                << e.what();
        }
    }
}

TEST(PasswordChange, AnAccdbKeepsItsPassword) {
    REQUIRE_CORPUS();
    testsupport::ScratchDir dir;
    const fs::path source = testsupport::copy_to_scratch(
        *testsupport::corpus_dir() / "jackcess/testV2010.accdb", dir.path());
    for (const char* to : {"x", ""}) {
        jet::CompactOptions o;
        o.destination_password = to;
        try {
            jet::compact(source, dir.path() / "copy.accdb", o);
            if (*to != '\0') {
                ADD_FAILURE() << "an .accdb was given a password";
            }
        } catch (const jet::Error& e) {
            EXPECT_NE(*to, '\0') << "keeping no password was refused: " << e.what();
            EXPECT_EQ(e.kind(), jet::ErrorKind::invalid_argument);
            EXPECT_STREQ(e.what(), jet::kAcePasswordChange);
            EXPECT_FALSE(fs::exists(dir.path() / "copy.accdb"));
        }
        fs::remove(dir.path() / "copy.accdb");
    }
}

// A workgroup information file (.mdw) is a Jet database under the name "Jet
// System DB": it compacts and stays one, and no database password is set on it.
TEST(PasswordChange, AWorkgroupFileCompactsAndKeepsItsPassword) {
    REQUIRE_CORPUS();
    testsupport::ScratchDir dir;
    const fs::path source = testsupport::copy_to_scratch(
        *testsupport::corpus_dir() / "jackcess/testV2003.mdb", dir.path());
    const std::string name = "Jet System DB  ";
    {
        std::fstream f(source, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4);
        f.write(name.data(), static_cast<std::streamsize>(name.size()));
    }
    const fs::path copy = dir.path() / "copy.mdw";
    jet::CompactOptions set;
    set.destination_password = "x";
    try {
        jet::compact(source, copy, set);
        ADD_FAILURE() << "a workgroup file was given a database password";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::invalid_argument) << e.what();
    }
    EXPECT_FALSE(fs::exists(copy));

    ASSERT_NO_THROW(jet::compact(source, copy, {}));
    std::ifstream in(copy, std::ios::binary);
    std::string start(4 + name.size(), '\0');
    in.read(start.data(), static_cast<std::streamsize>(start.size()));
    EXPECT_EQ(start.substr(4), name);
    EXPECT_TRUE(jet::Database::open(copy).header().workgroup);
}

}  // namespace
