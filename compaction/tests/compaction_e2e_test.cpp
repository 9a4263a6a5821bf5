// The run with the real engine and file system on copies of Access-made
// databases, checked with mdbtools as an independent reader.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QString>
#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "compaction/compactionrun.h"
#include "compaction/tests/fakes.h"
#include "jet/check/checker.h"
#include "jet/format/bytes.h"
#include "jet/format/database.h"
#include "jet/format/error.h"
#include "jet/format/header.h"
#include "jet/format/row.h"
#include "testsupport/corpus.h"

using namespace compaction_test;
namespace fs = std::filesystem;

namespace {

QString Q(const fs::path& p) {
    return QString::fromStdString(p.string());
}

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs a command and gives its standard output; fails the test on a non-zero exit.
std::string Output(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return out;
    }
    std::array<char, 4096> buffer{};
    size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        out.append(buffer.data(), n);
    }
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return out;
}

std::string Quote(const fs::path& p) {
    return "'" + p.string() + "'";
}

// Every user table of a database as mdb-export prints it, table by table.
std::map<std::string, std::string> Export(const fs::path& db) {
    std::map<std::string, std::string> tables;
    std::istringstream names(Output("mdb-tables -1 " + Quote(db)));
    std::string name;
    while (std::getline(names, name)) {
        if (!name.empty()) {
            tables[name] = Output("mdb-export " + Quote(db) + " '" + name + "'");
        }
    }
    return tables;
}

// Every user table as mdb-export prints it, its lines sorted: the copy
// writes tables in primary-key order.
std::map<std::string, std::string> SortedRows(const fs::path& file) {
    auto tables = Export(file);
    for (auto& [name, text] : tables) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        std::sort(lines.begin(), lines.end());
        text.clear();
        for (const auto& line : lines) {
            text += line + "\n";
        }
    }
    return tables;
}

std::string PasswordOf(const fs::path& db) {
    const std::string bytes = ReadAll(db);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const jet::Header header = jet::parse_header(
        jet::Bytes(data, std::min<size_t>(bytes.size(), 4096)), bytes.size(), db.string());
    return jet::decode_password(header);
}

class InDir {
  public:
    explicit InDir(const fs::path& dir) : m_old(fs::current_path()) { fs::current_path(dir); }
    ~InDir() { fs::current_path(m_old); }

  private:
    fs::path m_old;
};

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testsupport::corpus_dir()) {
            GTEST_SKIP() << "corpus not found";
        }
        if (std::system("command -v mdb-export >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "mdbtools not installed";
        }
        fs::create_directories(data);
        fs::create_directories(work);
    }
    fs::path Copy(const std::string& name) {
        return testsupport::copy_to_scratch(*testsupport::corpus_dir() / name, data);
    }
    void Run() {
        InDir cwd(work);  // "TmpMDB.mdb" is made here
        CompactionRun(view, boxes).Run();
    }

    testsupport::ScratchDir scratch;
    fs::path data = scratch.path() / "data";
    fs::path work = scratch.path() / "work";
    QStringList log;
    FakeView view{log};
    FakeBoxes boxes;
};

TEST_F(EndToEnd, TickedDatabasesAreCompactedInPlaceWithSameRowsAndPassword) {
    const fs::path plain = Copy("jackcess/bigIndexTestV2000.mdb");
    const fs::path skipped = Copy("tika/testACCESS.mdb");
    const fs::path locked = Copy("mdb-reader/V2003_with-password.mdb");
    const auto plainRows = Export(plain);
    const auto lockedRows = Export(locked);
    const std::string skippedBytes = ReadAll(skipped);
    const std::string plainBytes = ReadAll(plain);
    ASSERT_FALSE(plainRows.empty());
    ASSERT_EQ(PasswordOf(locked), "password");

    view.items = {{true, Q(plain), ""}, {false, Q(skipped), ""}, {true, Q(locked), "password"}};
    Run();

    EXPECT_TRUE(boxes.exclamations.isEmpty()) << boxes.exclamations.join("\n").toStdString();
    EXPECT_NE(ReadAll(plain), plainBytes) << "the database was not rewritten";
    EXPECT_EQ(Export(plain), plainRows);
    EXPECT_EQ(Export(locked), lockedRows);
    EXPECT_EQ(PasswordOf(locked), "password");
    EXPECT_EQ(PasswordOf(plain), "");
    EXPECT_EQ(ReadAll(skipped), skippedBytes);
    EXPECT_FALSE(fs::exists(work / "TmpMDB.mdb"));
    EXPECT_EQ(view.Texts(), (QStringList{"33%", "67%", "100%", ""}));
}

// A Northwind made by Access whose navigation-pane cache left rows on a page
// its map no longer lists: nothing of Jet's reads them, and the run compacts
// the database without a word (they used to end it as damage).
TEST_F(EndToEnd, RowsJetCannotReachAreLeftOutWithoutAMessage) {
    fs::path db;
    for (const auto& f : testsupport::sweep_files()) {
        if (f.name.find("Northwind-Database-Example") != std::string::npos) {
            db = testsupport::copy_to_scratch(f.path, data);
        }
    }
    if (db.empty()) {
        GTEST_SKIP() << "the sweep set is not available here";
    }
    const auto rows = SortedRows(db);
    ASSERT_FALSE(rows.empty());
    view.items = {{true, Q(db), ""}};
    Run();
    EXPECT_TRUE(boxes.exclamations.isEmpty()) << boxes.exclamations.join("\n").toStdString();
    EXPECT_EQ(SortedRows(db), rows);
    EXPECT_FALSE(jet::check_file(db).has_errors());
}

// An Access 97 database is compacted in its own format: the programs that
// use such files cannot open Jet 4.
TEST_F(EndToEnd, AnAccess97DatabaseIsCompactedInItsOwnFormat) {
    const fs::path db = Copy("format-corpus/acc97.mdb");
    const auto rows = SortedRows(db);
    const std::string before = ReadAll(db);
    ASSERT_FALSE(rows.empty());
    view.items = {{true, Q(db), ""}};
    Run();
    EXPECT_TRUE(boxes.exclamations.isEmpty()) << boxes.exclamations.join("\n").toStdString();
    EXPECT_NE(ReadAll(db), before) << "the database was not rewritten";
    EXPECT_EQ(SortedRows(db), rows);
    EXPECT_TRUE(jet::Database(db).file().format().is_jet3());
    EXPECT_FALSE(jet::check_file(db).has_errors());
}

// Sets the first user table's autonumber counter below its highest value in
// use; gives the table's name and that value.
std::pair<std::string, std::int64_t> LowerCounter(const fs::path& db) {
    std::uint32_t tdef = 0;
    std::pair<std::string, std::int64_t> found;
    {
        const jet::Database d(db);
        for (const auto* obj : d.catalog().tables(false)) {
            const auto& def = d.table_def(obj->table_page());
            for (std::size_t c = 0; c < def.columns.size() && tdef == 0; ++c) {
                if ((def.columns[c].flags & jet::kColumnFlagAutoLong) == 0) {
                    continue;
                }
                std::int64_t top = 0;
                d.for_each_row(def, [&](const jet::RowRef& r) {
                    const auto v = jet::decode_row(d.file(), def, r.bytes, "row")[c];
                    if (const auto* n = std::get_if<std::int64_t>(&v)) {
                        top = std::max(top, *n);
                    }
                });
                if (top > 1) {
                    tdef = obj->table_page();
                    found = {obj->name, top};
                }
            }
        }
    }
    if (tdef != 0) {
        std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(tdef) * 4096 + 20);
        const char one[4] = {1, 0, 0, 0};
        f.write(one, 4);
    }
    return found;
}

TEST_F(EndToEnd, ACounterBehindItsValuesIsRaisedWithoutAMessage) {
    fs::path db;
    std::pair<std::string, std::int64_t> lowered;
    for (const auto& f : testsupport::corpus_files("jet4")) {
        if (f.password.empty() && lowered.first.empty()) {
            db = Copy(f.name);
            lowered = LowerCounter(db);
        }
    }
    const auto [table, highest] = lowered;
    ASSERT_FALSE(table.empty()) << "no corpus table with an autonumber in use";
    const auto rows = Export(db);

    view.items = {{true, Q(db), ""}};
    Run();

    EXPECT_TRUE(boxes.exclamations.isEmpty()) << boxes.exclamations.join("\n").toStdString();
    EXPECT_EQ(Export(db), rows);
    const jet::Database d(db);
    for (const auto* obj : d.catalog().tables(false)) {
        if (obj->name == table) {
            EXPECT_EQ(d.table_def(obj->table_page()).autonumber, highest);
        }
    }
}

// Zeroes page `page` of `db`.
void ZeroPage(const fs::path& db, std::uint32_t page) {
    std::fstream f(db, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(page) *
            static_cast<std::streamoff>(jet::jet4_format().page_size));
    const std::string zeros(jet::jet4_format().page_size, '\0');
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
}

// The root page of the first index of a user table, and a data page holding
// rows of that table.
std::pair<std::uint32_t, std::uint32_t> IndexRootAndDataPage(const fs::path& db) {
    const jet::Database d(db);
    for (const auto* obj : d.catalog().tables(false)) {
        const auto& t = d.table_def(obj->table_page());
        std::uint32_t data = 0;
        d.for_each_row(t, [&](const jet::RowRef& r) { data = data != 0 ? data : r.pointer.page; });
        if (!t.real_indexes.empty() && data != 0) {
            return {t.real_indexes[0].root_page, data};
        }
    }
    return {0, 0};
}

// Damage that loses nothing is repaired without a word: a zeroed index page
// is rebuilt from the rows. Damage that loses rows ends the run with the
// damage named and the salvage that gets past it, and the file stays as it
// was.
TEST_F(EndToEnd, AZeroedIndexPageIsRepairedAndLostRowsEndTheRunDescribed) {
    const fs::path repaired = Copy("jackcess/indexTestV2003.mdb");
    const fs::path lossy = Copy("jackcess/indexTestV2000.mdb");
    const auto rows = Export(repaired);
    const std::uint32_t root = IndexRootAndDataPage(repaired).first;
    const std::uint32_t rows_page = IndexRootAndDataPage(lossy).second;
    ASSERT_NE(root, 0u);
    ASSERT_NE(rows_page, 0u);
    ZeroPage(repaired, root);
    ZeroPage(lossy, rows_page);
    const std::string lossyBytes = ReadAll(lossy);

    view.items = {{true, Q(repaired), ""}, {true, Q(lossy), ""}};
    Run();

    EXPECT_EQ(Export(repaired), rows);
    EXPECT_FALSE(jet::check_file(repaired).has_errors());
    ASSERT_EQ(boxes.exclamations.size(), 1);
    const std::string message = boxes.exclamations[0].toStdString();
    EXPECT_NE(message.find(lossy.string()), std::string::npos) << message;
    EXPECT_NE(message.find("index-lost-row"), std::string::npos) << message;
    EXPECT_NE(message.find("--salvage"), std::string::npos) << message;
    EXPECT_EQ(message.find("in Access"), std::string::npos) << message;
    EXPECT_EQ(ReadAll(lossy), lossyBytes);
}

// A database another program has open (a lock on a byte range of it, as a
// Jet client takes) is refused, and left as it was; the run's replace keeps
// the database's mode, and its owner and group where the process may set them.
TEST_F(EndToEnd, ADatabaseInUseIsRefusedAndAReplacedOneKeepsOwnerAndMode) {
    const fs::path db = Copy("jackcess/testV2003.mdb");
    const std::string before = ReadAll(db);
    {
        const int fd = ::open(db.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        struct flock l {};
        l.l_type = F_WRLCK;
        l.l_whence = SEEK_SET;
        l.l_start = 0x10000000;
        l.l_len = 1;
        ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &l), 0);
        view.items = {{true, Q(db), ""}};
        Run();
        ::close(fd);
    }
    ASSERT_EQ(boxes.exclamations.size(), 1);
    EXPECT_TRUE(boxes.exclamations[0].contains(QStringLiteral("is in use")))
        << boxes.exclamations[0].toStdString();
    EXPECT_EQ(ReadAll(db), before);
    EXPECT_FALSE(fs::exists(work / "TmpMDB.mdb"));

    boxes.exclamations.clear();
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(db.c_str(), 0640), 0);
    if (root) {
        ASSERT_EQ(::chown(db.c_str(), 65534, 65534), 0);  // nobody / nogroup
    }
    Run();
    EXPECT_TRUE(boxes.exclamations.isEmpty()) << boxes.exclamations.join("\n").toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(db.c_str(), &st), 0);
    EXPECT_NE(ReadAll(db), before);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
}

TEST_F(EndToEnd, ProtectedDatabaseWithoutPasswordEndsTheRunUntouched) {
    const fs::path locked = Copy("mdb-reader/V2003_with-password.mdb");
    const fs::path later = Copy("jackcess/bigIndexTestV2000.mdb");
    const std::string lockedBytes = ReadAll(locked);
    const std::string laterBytes = ReadAll(later);

    view.items = {{true, Q(locked), ""}, {true, Q(later), ""}};
    Run();

    ASSERT_EQ(boxes.exclamations.size(), 1);
    EXPECT_EQ(boxes.exclamations[0], QStringLiteral("Failed in optimizing\r\n") + Q(locked) +
                                         QStringLiteral("\r\n\r\nDetails : ") +
                                         QString::fromUtf8(jet::kNotAValidPassword));
    EXPECT_EQ(ReadAll(locked), lockedBytes);
    EXPECT_EQ(ReadAll(later), laterBytes);
    EXPECT_FALSE(fs::exists(work / "TmpMDB.mdb"));
}

TEST_F(EndToEnd, WrongPasswordIsReportedFromThePasswordAttempt) {
    const fs::path locked = Copy("mdb-reader/V2000_with-password.mdb");
    const std::string lockedBytes = ReadAll(locked);
    view.items = {{true, Q(locked), "Password"}};  // case matters
    Run();
    ASSERT_EQ(boxes.exclamations.size(), 1);
    EXPECT_TRUE(boxes.exclamations[0].endsWith(QString::fromUtf8(jet::kNotAValidPassword)));
    EXPECT_EQ(ReadAll(locked), lockedBytes);
}

// Every user table of an encrypted .accdb as the engine reads it with the
// password (mdbtools cannot read such a file).
std::map<std::string, std::size_t> RowCounts(const fs::path& db, const std::string& password) {
    const jet::Database d(db, jet::OpenOptions{password, true});
    std::map<std::string, std::size_t> rows;
    for (const auto* t : d.catalog().tables(false)) {
        rows[t->name] = d.read_rows(d.table_def(t->table_page())).size();
    }
    return rows;
}

// An encrypted .accdb: with its password the run compacts it into a copy
// encrypted with that password, the same rows; without it the run says the
// password is not valid and leaves the file as it was.
TEST_F(EndToEnd, EncryptedAccdbIsCompactedWithItsPasswordAndRefusedWithout) {
    const fs::path locked = Copy("jackcessencrypt/db2013-enc.accdb");
    const fs::path bare = Copy("mdb-reader/office-agile-4.2.accdb");
    const std::string lockedBytes = ReadAll(locked);
    const std::string bareBytes = ReadAll(bare);
    const auto rows = RowCounts(locked, "1234");
    ASSERT_FALSE(rows.empty());

    view.items = {{true, Q(locked), "1234"}, {true, Q(bare), ""}};
    Run();

    ASSERT_EQ(boxes.exclamations.size(), 1);
    EXPECT_EQ(boxes.exclamations[0], QStringLiteral("Failed in optimizing\r\n") + Q(bare) +
                                         QStringLiteral("\r\n\r\nDetails : ") +
                                         QString::fromUtf8(jet::kNotAValidPassword));
    EXPECT_EQ(ReadAll(bare), bareBytes);
    EXPECT_LT(ReadAll(locked).size(), lockedBytes.size()) << "the database was not compacted";
    EXPECT_EQ(RowCounts(locked, "1234"), rows);
    try {
        jet::Database{locked};
        ADD_FAILURE() << "the compacted database opens without its password";
    } catch (const jet::Error& e) {
        EXPECT_EQ(e.kind(), jet::ErrorKind::bad_password);
    }
    EXPECT_FALSE(fs::exists(work / "TmpMDB.mdb"));
}

TEST_F(EndToEnd, LeftoverTmpMdbIsNeitherOverwrittenNorMoved) {
    const fs::path db = Copy("jackcess/bigIndexTestV2000.mdb");
    const std::string dbBytes = ReadAll(db);
    std::ofstream(work / "TmpMDB.mdb") << "the only copy of another database";
    view.items = {{true, Q(db), ""}};
    Run();
    ASSERT_EQ(boxes.exclamations.size(), 1);
    EXPECT_TRUE(boxes.exclamations[0].contains("already exists"))
        << boxes.exclamations[0].toStdString();
    EXPECT_EQ(ReadAll(work / "TmpMDB.mdb"), "the only copy of another database");
    EXPECT_EQ(ReadAll(db), dbBytes);
}

TEST_F(EndToEnd, ReadOnlyDatabaseLeavesItsCompactedCopyAsTmpMdb) {
    const fs::path db = Copy("jackcess/bigIndexTestV2000.mdb");
    const auto rows = Export(db);
    fs::permissions(db, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string dbBytes = ReadAll(db);
    view.items = {{true, Q(db), ""}};
    Run();
    ASSERT_EQ(boxes.exclamations.size(), 1);
    EXPECT_TRUE(boxes.exclamations[0].contains("read-only"));
    EXPECT_EQ(ReadAll(db), dbBytes);
    ASSERT_TRUE(fs::exists(work / "TmpMDB.mdb"));
    EXPECT_EQ(Export(work / "TmpMDB.mdb"), rows);
}

}  // namespace
