// Compacting a database that another program has open is refused; the lock
// the compaction takes keeps a second one out; compacting in place keeps
// the owner, and the original on request.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "jet/check/checker.h"
#include "jet/compact/compact.h"
#include "jet/compact/database_lock.h"
#include "jet/format/error.h"
#include "run_process.h"
#include "testsupport/corpus.h"

namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

using jettest::LockHolder;

class InPlace : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testsupport::corpus_dir()) {
            GTEST_SKIP() << "the corpus is not available here";
        }
        db = testsupport::copy_to_scratch(*testsupport::corpus_dir() / "jackcess/testV2003.mdb",
                                          dir.path());
        accdb = testsupport::copy_to_scratch(
            *testsupport::corpus_dir() / "jackcess/ace/testV2010.accdb", dir.path());
    }
    testsupport::ScratchDir dir;
    fs::path db;
    fs::path accdb;
};

TEST_F(InPlace, ADatabaseInUseIsRefusedAndALeftoverLockFileIsNot) {
    struct Case {
        const char* what;
        // Makes the situation; returns what must stay alive during the run.
        std::function<std::optional<LockHolder>(const fs::path& db)> make;
        bool in_use;
    };
    const std::vector<Case> cases = {
        {"nobody", [](const fs::path&) { return std::nullopt; }, false},
        {"a lock file left by a crash",
         [](const fs::path& d) {
             std::ofstream(jet::lock_file_of(d)) << std::string(64, 'x');
             return std::nullopt;
         },
         false},
        {"a lock held on the lock file",
         [](const fs::path& d) {
             std::ofstream(jet::lock_file_of(d)) << std::string(64, 'x');
             return std::optional<LockHolder>(std::in_place, jet::lock_file_of(d), 0, 1);
         },
         true},
        {"a byte range of the database locked past its end, as Jet does",
         [](const fs::path& d) {
             return std::optional<LockHolder>(std::in_place, d, 0x10000000, 1);
         },
         true},
    };
    // Access 2007 and later name the lock file of an .accdb ".laccdb".
    EXPECT_EQ(jet::lock_file_of(accdb).extension(), ".laccdb");
    EXPECT_EQ(jet::lock_file_of(dir.path() / "Old.MDB").extension(), ".ldb");
    int n = 0;
    for (const auto& c : cases) {
        for (const fs::path& file : {db, accdb}) {
            SCOPED_TRACE(std::string(c.what) + " on " + file.filename().string());
            fs::remove(jet::lock_file_of(file));
            const auto holder = c.make(file);
            const std::string before = read_all(file);
            const fs::path out = dir.path() / ("out" + std::to_string(n++) + ".mdb");
            for (const bool in_place : {false, true}) {
                try {
                    if (in_place) {
                        (void)jet::compact_in_place(file, {});
                    } else {
                        (void)jet::compact(file, out, {});
                    }
                    EXPECT_FALSE(c.in_use) << "compacted a database in use";
                } catch (const jet::Error& e) {
                    ASSERT_TRUE(c.in_use) << e.what();
                    EXPECT_EQ(e.kind(), jet::ErrorKind::in_use);
                    EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos)
                        << e.what();
                    EXPECT_NE(std::string(e.what()).find("Close it"), std::string::npos)
                        << e.what();
                    EXPECT_EQ(read_all(file), before);
                    EXPECT_FALSE(fs::exists(out));
                }
            }
        }
    }
}

// While one compaction of a file runs, a second one is refused.
TEST_F(InPlace, ASecondCompactionOfTheSameFileIsRefusedWhileTheFirstRuns) {
    std::optional<jet::ErrorKind> second;
    jet::CompactOptions o;
    o.progress = [&](std::uint64_t, std::uint64_t) {
        if (second) {
            return;
        }
        try {
            (void)jet::compact_in_place(db, {});
            second = jet::ErrorKind::io;  // not refused: wrong
        } catch (const jet::Error& e) {
            second = e.kind();
        }
    };
    ASSERT_NO_THROW((void)jet::compact_in_place(db, o));
    EXPECT_EQ(second, jet::ErrorKind::in_use);
    EXPECT_FALSE(jet::check_file(db).has_errors());
}

TEST_F(InPlace, TheCopyTakesThePlaceWithModeOwnerAndABackupOnRequest) {
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(db.c_str(), 0640), 0);
    if (root) {
        ASSERT_EQ(::chown(db.c_str(), 65534, 65534), 0);  // nobody / nogroup
    }
    const std::string before = read_all(db);
    const auto r = jet::compact_in_place(db, {}, true);
    struct stat st {};
    ASSERT_EQ(::stat(db.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    EXPECT_LT(static_cast<std::uint64_t>(st.st_size), before.size());
    EXPECT_FALSE(jet::check_file(db).has_errors());
    ASSERT_FALSE(r.backup.empty());
    EXPECT_EQ(r.backup.parent_path(), db.parent_path());
    EXPECT_EQ(read_all(r.backup), before);
    // A second backup in the same second gets a name of its own; nothing
    // else is left beside the database.
    const auto again = jet::compact_in_place(db, {}, true);
    EXPECT_NE(again.backup, r.backup);
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        files += e.path() != accdb ? 1 : 0;
    }
    EXPECT_EQ(files, 3u);  // the database and its two backups
    if (!root) {
        GTEST_SKIP() << "the owner is kept only where the process may set it (run as root)";
    }
}

}  // namespace
