// FileSystemObject on real files, and the run over real files with an engine
// that only copies: what is left on disk after each kind of failure.

#include "compaction/filesystem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <fstream>

#include "compaction/compactionrun.h"
#include "compaction/tests/fakes.h"
#include "testsupport/corpus.h"

using namespace compaction_test;
namespace fs = std::filesystem;

namespace {

QString Q(const fs::path& p) {
    return QString::fromStdString(p.string());
}

void Write(const fs::path& p, const std::string& text) {
    std::ofstream(p) << text;
}

std::string Read(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs the test body inside a scratch working directory.
class InScratchDir {
  public:
    explicit InScratchDir(const fs::path& dir) : m_old(fs::current_path()) {
        fs::current_path(dir);
    }
    ~InScratchDir() { fs::current_path(m_old); }

  private:
    fs::path m_old;
};

std::string Description(const std::function<void()>& call) {
    try {
        call();
    } catch (const FileError& e) {
        return e.Description().toStdString();
    }
    return "(no failure)";
}

class FileSystemTest : public ::testing::Test {
  protected:
    testsupport::ScratchDir dir;
    FileSystemObject fso;
};

// --- File facts and existence ---------------------------------------------

TEST_F(FileSystemTest, GetFileGivesSizeAndLocalModificationTime) {
    const fs::path file = dir.path() / "a.mdb";
    Write(file, std::string(12345, 'x'));
    const struct timespec times[2] = {{1600000000, 0}, {1600000000, 250000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    const File facts = fso.GetFile(Q(file));
    EXPECT_EQ(facts.Size(), 12345);
    EXPECT_EQ(facts.DateLastModified().toMSecsSinceEpoch(), 1600000000250LL);
    EXPECT_EQ(facts.DateLastModified().timeSpec(), Qt::LocalTime);
}

TEST_F(FileSystemTest, GetFileFailsWithPathAndCause) {
    const std::string missing = (dir.path() / "gone.mdb").string();
    const std::string text = Description([&] { fso.GetFile(QString::fromStdString(missing)); });
    EXPECT_NE(text.find(missing), std::string::npos) << text;
    EXPECT_NE(text.find("No such file"), std::string::npos) << text;
    const std::string folder = Description([&] { fso.GetFile(Q(dir.path())); });
    EXPECT_NE(folder.find("folder"), std::string::npos) << folder;
}

TEST_F(FileSystemTest, FileExistsTakesThePathExactlyAsTyped) {
    Write(dir.path() / "a.mdb", "x");
    Write(dir.path() / " lead.mdb", "x");
    EXPECT_TRUE(fso.FileExists(Q(dir.path() / "a.mdb")));
    EXPECT_FALSE(fso.FileExists(Q(dir.path() / " a.mdb")));
    EXPECT_TRUE(fso.FileExists(Q(dir.path() / " lead.mdb")));
    EXPECT_FALSE(fso.FileExists(Q(dir.path() / "lead.mdb")));
    EXPECT_FALSE(fso.FileExists(Q(dir.path())));
    EXPECT_FALSE(fso.FileExists(QString()));
}

// --- Delete ------------------------------------------------------------------

TEST_F(FileSystemTest, DeleteWithoutForceRefusesReadOnlyFile) {
    const fs::path file = dir.path() / "ro.mdb";
    Write(file, "keep");
    ::chmod(file.c_str(), 0444);
    const std::string text = Description([&] { fso.DeleteFile(Q(file), false); });
    EXPECT_NE(text.find(file.string()), std::string::npos) << text;
    EXPECT_NE(text.find("read-only"), std::string::npos) << text;
    EXPECT_EQ(Read(file), "keep");
}

// A delete keeps the file where it is until the move into its place puts
// the new file over it in one step, with the old one's mode: the path is
// never empty, whenever the program is killed.
TEST_F(FileSystemTest, DeleteThenMoveIntoItsPlaceReplacesInOneStep) {
    const fs::path file = dir.path() / "w.mdb";
    const fs::path copy = dir.path() / "copy.mdb";
    Write(file, "old");
    Write(copy, "new");
    ::chmod(file.c_str(), 0640);
    fso.DeleteFile(Q(file), false);
    EXPECT_EQ(Read(file), "old");
    fso.MoveFile(Q(copy), Q(file));
    EXPECT_EQ(Read(file), "new");
    EXPECT_FALSE(fs::exists(copy));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // A second move there finds the destination taken again.
    Write(copy, "newer");
    EXPECT_NE(Description([&] { fso.MoveFile(Q(copy), Q(file)); }).find("already exists"),
              std::string::npos);

    const fs::path gone = dir.path() / "gone.mdb";
    const std::string text = Description([&] { fso.DeleteFile(Q(gone), false); });
    EXPECT_NE(text.find(gone.string()), std::string::npos) << text;
    EXPECT_NE(text.find("No such file"), std::string::npos) << text;
    EXPECT_NE(Description([&] { fso.DeleteFile(Q(dir.path()), false); }).find("folder"),
              std::string::npos);
}

// --- Move --------------------------------------------------------------------

TEST_F(FileSystemTest, MoveRenamesAndTakesRelativeSourceFromWorkingDirectory) {
    InScratchDir cwd(dir.path());
    Write(dir.path() / "TmpMDB.mdb", "compacted");
    fs::create_directory(dir.path() / "sub");
    fso.MoveFile(QStringLiteral("TmpMDB.mdb"), Q(dir.path() / "sub" / "db.mdb"));
    EXPECT_EQ(Read(dir.path() / "sub" / "db.mdb"), "compacted");
    EXPECT_FALSE(fs::exists(dir.path() / "TmpMDB.mdb"));
}

TEST_F(FileSystemTest, MoveNeverOverwritesTheDestination) {
    Write(dir.path() / "src.mdb", "new");
    Write(dir.path() / "dst.mdb", "old");
    const std::string text =
        Description([&] { fso.MoveFile(Q(dir.path() / "src.mdb"), Q(dir.path() / "dst.mdb")); });
    EXPECT_NE(text.find("already exists"), std::string::npos) << text;
    EXPECT_NE(text.find("dst.mdb"), std::string::npos) << text;
    EXPECT_EQ(Read(dir.path() / "src.mdb"), "new");
    EXPECT_EQ(Read(dir.path() / "dst.mdb"), "old");
}

TEST_F(FileSystemTest, MoveOfMissingSourceNamesIt) {
    const std::string text = Description(
        [&] { fso.MoveFile(Q(dir.path() / "nothing.mdb"), Q(dir.path() / "dst.mdb")); });
    EXPECT_NE(text.find("nothing.mdb"), std::string::npos) << text;
    EXPECT_NE(text.find("No such file"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(dir.path() / "dst.mdb"));
}

TEST_F(FileSystemTest, MoveAcrossFileSystemsCopiesWholeAndRemovesSource) {
    if (!fs::is_directory("/dev/shm")) {
        GTEST_SKIP() << "no /dev/shm";
    }
    struct stat a {
    }, b{};
    ::stat("/dev/shm", &a);
    ::stat(dir.path().c_str(), &b);
    if (a.st_dev == b.st_dev) {
        GTEST_SKIP() << "/dev/shm is on the same file system as the scratch folder";
    }
    const fs::path shm = fs::path("/dev/shm") / ("tarnwick-move-" + std::to_string(::getpid()));
    fs::create_directories(shm);
    const std::string content(3 * 1024 * 1024 + 17, 'q');
    Write(shm / "TmpMDB.mdb", content);
    ::chmod((shm / "TmpMDB.mdb").c_str(), 0640);
    const struct timespec times[2] = {{1500000000, 0}, {1500000000, 0}};
    ::utimensat(AT_FDCWD, (shm / "TmpMDB.mdb").c_str(), times, 0);
    fso.MoveFile(Q(shm / "TmpMDB.mdb"), Q(dir.path() / "db.mdb"));
    EXPECT_EQ(Read(dir.path() / "db.mdb"), content);
    EXPECT_FALSE(fs::exists(shm / "TmpMDB.mdb"));
    struct stat st {};
    ::stat((dir.path() / "db.mdb").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        left.push_back(e.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"db.mdb"}) << "no temporary file stays behind";

    // Refused across file systems too, with both files kept.
    Write(shm / "again.mdb", "again");
    const std::string text =
        Description([&] { fso.MoveFile(Q(shm / "again.mdb"), Q(dir.path() / "db.mdb")); });
    EXPECT_NE(text.find("already exists"), std::string::npos) << text;
    EXPECT_EQ(Read(shm / "again.mdb"), "again");
    fs::remove_all(shm);
}

// --- The run over real files -------------------------------------------------

// An engine that "compacts" by copying the source to the destination.
class CopyingEngine : public DatabaseEngine {
  public:
    void CompactDatabase(const QString& source, const QString& destination) override {
        const auto path = [](const QString& s) {
            const QString rest = s.mid(s.indexOf(QStringLiteral("Data Source=")) + 12);
            return rest.left(rest.indexOf(u';')).toStdString();
        };
        if (fs::exists(path(destination))) {
            throw EngineError(QStringLiteral("destination exists"));
        }
        fs::copy_file(path(source), path(destination));
        std::ofstream(path(destination), std::ios::app) << "+compacted";
    }
};

class RunOnFiles : public ::testing::Test {
  protected:
    testsupport::ScratchDir dir;
    QStringList log;
    FakeView view{log};
    FakeBoxes boxes;

    void Run() {
        InScratchDir cwd(dir.path());
        CompactionRun(
            view, boxes, [] { return std::make_unique<CopyingEngine>(); },
            [] { return std::make_unique<FileSystemObject>(); })
            .Run();
    }
};

TEST_F(RunOnFiles, TickedDatabasesAreReplacedAndNoTemporaryRemains) {
    fs::create_directory(dir.path() / "data");
    Write(dir.path() / "data" / "a.mdb", "A");
    Write(dir.path() / "data" / "b.mdb", "B");
    view.items = {{true, Q(dir.path() / "data" / "a.mdb"), ""},
                  {false, Q(dir.path() / "data" / "b.mdb"), ""}};
    Run();
    EXPECT_TRUE(boxes.exclamations.isEmpty()) << boxes.exclamations.join("|").toStdString();
    EXPECT_EQ(Read(dir.path() / "data" / "a.mdb"), "A+compacted");
    EXPECT_EQ(Read(dir.path() / "data" / "b.mdb"), "B");
    EXPECT_FALSE(fs::exists(dir.path() / "TmpMDB.mdb"));
}

TEST_F(RunOnFiles, ReadOnlyDatabaseKeepsItsCopyAsTmpMdb) {
    const fs::path db = dir.path() / "ro.mdb";
    Write(db, "RO");
    ::chmod(db.c_str(), 0444);
    view.items = {{true, Q(db), ""}};
    Run();
    ASSERT_EQ(boxes.exclamations.size(), 1);
    EXPECT_TRUE(boxes.exclamations[0].startsWith("Failed in optimizing\r\n" + Q(db) +
                                                 "\r\n\r\nDetails : "));
    EXPECT_TRUE(boxes.exclamations[0].contains("read-only"));
    EXPECT_EQ(Read(db), "RO");
    EXPECT_EQ(Read(dir.path() / "TmpMDB.mdb"), "RO+compacted");
}

TEST_F(RunOnFiles, LeftoverTmpMdbIsNeverOverwritten) {
    Write(dir.path() / "TmpMDB.mdb", "only copy of an earlier database");
    Write(dir.path() / "a.mdb", "A");
    view.items = {{true, Q(dir.path() / "a.mdb"), ""}};
    Run();
    ASSERT_EQ(boxes.exclamations.size(), 1);
    EXPECT_EQ(Read(dir.path() / "TmpMDB.mdb"), "only copy of an earlier database");
    EXPECT_EQ(Read(dir.path() / "a.mdb"), "A");
}

}  // namespace
