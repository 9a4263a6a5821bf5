// The settings file on disk: never half-written, private when created, and
// bad input (missing folder, read-only file, damaged or oversized file, texts
// that would break the layout) gives a clear result and loses nothing.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "settings/clsprofile.h"
#include "settings/tests/settings_test_util.h"
#include "testsupport/corpus.h"

using settings_test::Q;
using settings_test::ReadBytes;
using settings_test::WriteBytes;
namespace fs = std::filesystem;

namespace {

class StoreSafety : public ::testing::Test {
  protected:
    testsupport::ScratchDir dir;
    fs::path ini = dir.path() / "Tarnwick.ini";

    std::unique_ptr<clsProfile> Open(const fs::path& p) {
        auto profile = std::make_unique<clsProfile>();
        profile->setFileName(Q(p));
        return profile;
    }
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path())) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

mode_t ModeOf(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

TEST_F(StoreSafety, CreatedFileIsPrivateAndExistingModeIsKept) {
    ::umask(022);
    auto p = Open(ini);
    ASSERT_TRUE(p->WriteString(QStringLiteral("S"), QStringLiteral("Password"), "secret"));
    p->Flush();
    EXPECT_EQ(ModeOf(ini), 0600u);

    const fs::path shared = dir.path() / "shared.ini";
    WriteBytes(shared, "[A]\nk=1\n");
    ::chmod(shared.c_str(), 0640);
    auto q = Open(shared);
    ASSERT_TRUE(q->WriteString(QStringLiteral("A"), QStringLiteral("k"), "2"));
    q->Flush();
    EXPECT_EQ(ModeOf(shared), 0640u);
    EXPECT_EQ(ReadBytes(shared), QByteArray("[A]\nk=2\n"));
}

TEST_F(StoreSafety, SaveReplacesFileWholeAndLeavesNoTemporaryFiles) {
    WriteBytes(ini, "[Old]\nk=v\n");
    struct stat before {};
    ::stat(ini.c_str(), &before);
    auto p = Open(ini);
    ASSERT_TRUE(p->DeleteSection(QStringLiteral("Old")));
    ASSERT_TRUE(p->WriteString(QStringLiteral("New"), QStringLiteral("k"), "w"));
    p.reset();
    struct stat after {};
    ::stat(ini.c_str(), &after);
    EXPECT_NE(before.st_ino, after.st_ino) << "a new file is renamed over the old one";
    EXPECT_EQ(ReadBytes(ini), QByteArray("[New]\nk=w\n"));
    EXPECT_EQ(Listing(), std::vector<std::string>{"Tarnwick.ini"});
}

TEST_F(StoreSafety, SymbolicLinkStaysALink) {
    const fs::path real = dir.path() / "real.ini";
    WriteBytes(real, "[A]\n");
    fs::create_symlink(real, ini);
    auto p = Open(ini);
    ASSERT_TRUE(p->WriteString(QStringLiteral("A"), QStringLiteral("k"), "1"));
    p.reset();
    EXPECT_TRUE(fs::is_symlink(ini));
    EXPECT_EQ(ReadBytes(real), QByteArray("[A]\nk=1\n"));
}

TEST_F(StoreSafety, MissingDirectoryRefusesWritesAndCreatesNothing) {
    const fs::path missing = dir.path() / "no-such-dir" / "Tarnwick.ini";
    auto p = Open(missing);
    EXPECT_TRUE(p->GetSectNames().isEmpty());
    EXPECT_FALSE(p->WriteString(QStringLiteral("S"), QStringLiteral("k"), "v"));
    EXPECT_FALSE(p->DeleteSection(QStringLiteral("S")));
    EXPECT_FALSE(p->DeleteKey(QStringLiteral("S"), QStringLiteral("k")));
    p.reset();
    EXPECT_FALSE(fs::exists(missing.parent_path()));
}

TEST_F(StoreSafety, ReadOnlyFileRefusesWritesAndKeepsItsContent) {
    const QByteArray original = "[A]\nFile=/a.mdb\n";
    WriteBytes(ini, original);
    ::chmod(ini.c_str(), 0444);
    auto p = Open(ini);
    EXPECT_EQ(p->GetSectNames(), (QStringList{"A"}));
    EXPECT_FALSE(p->DeleteSection(QStringLiteral("A")));
    EXPECT_FALSE(p->WriteString(QStringLiteral("B"), QStringLiteral("File"), "/b.mdb"));
    p.reset();
    EXPECT_EQ(ReadBytes(ini), original);
    EXPECT_EQ(Listing(), std::vector<std::string>{"Tarnwick.ini"});
}

TEST_F(StoreSafety, ReadOnlyDirectoryRefusesWrites) {
    const fs::path locked = dir.path() / "locked";
    fs::create_directory(locked);
    WriteBytes(locked / "Tarnwick.ini", "[A]\n");
    ::chmod(locked.c_str(), 0555);
    auto p = Open(locked / "Tarnwick.ini");
    EXPECT_FALSE(p->WriteString(QStringLiteral("A"), QStringLiteral("k"), "v"));
    p.reset();
    ::chmod(locked.c_str(), 0755);
    EXPECT_EQ(ReadBytes(locked / "Tarnwick.ini"), QByteArray("[A]\n"));
}

TEST_F(StoreSafety, TextsThatWouldBreakTheLayoutAreRefused) {
    auto p = Open(ini);
    const QString s = QStringLiteral("S");
    EXPECT_FALSE(p->WriteString(s, QStringLiteral("Password"), "x\n[Injected]\nFile=/etc"));
    EXPECT_FALSE(p->WriteString(s, QStringLiteral("Password"), "x\ry"));
    EXPECT_FALSE(p->WriteString(s, QStringLiteral("Password"), QString("a") + QChar(0)));
    EXPECT_FALSE(p->WriteString(QStringLiteral("two\nlines"), QStringLiteral("k"), "v"));
    EXPECT_FALSE(p->WriteString(s, QStringLiteral("a=b"), "v"));
    EXPECT_FALSE(p->WriteString(s, QStringLiteral(""), "v"));
    EXPECT_FALSE(p->WriteString(s, QStringLiteral("[k]"), "v"));
    EXPECT_FALSE(p->WriteString(s, QStringLiteral(";k"), "v"));
    EXPECT_FALSE(p->WriteString(std::nullopt, QStringLiteral("k"), "v"));
    p.reset();
    EXPECT_FALSE(fs::exists(ini));
}

TEST_F(StoreSafety, DamagedFileIsReadForWhatItHoldsAndKeptBeforeRewrite) {
    static const char kDamaged[] =
        "\x00\x01\xFF\xFE"
        "garbage\n[A]\nFile=/a.mdb\n\x00\x00"
        "binary\x07\n[B]\nk=v";
    QByteArray damaged(kDamaged, sizeof kDamaged - 1);
    damaged += QByteArray(1000, '\0');
    WriteBytes(ini, damaged);
    auto p = Open(ini);
    EXPECT_EQ(p->GetSectNames(), (QStringList{"A", "B"}));
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("File"), {}), OptText("/a.mdb"));
    for (const QString& name : p->GetSectNames()) {
        EXPECT_TRUE(p->DeleteSection(name));
    }
    ASSERT_TRUE(p->WriteString(QStringLiteral("New"), QStringLiteral("File"), "/n.mdb"));
    p.reset();
    EXPECT_EQ(ReadBytes(dir.path() / "Tarnwick.ini.damaged"), damaged);
    EXPECT_TRUE(ReadBytes(ini).endsWith("[New]\nFile=/n.mdb\n"));
    EXPECT_EQ(ModeOf(dir.path() / "Tarnwick.ini.damaged"), 0600u);

    // A second damaged file does not overwrite the first copy.
    WriteBytes(ini, QByteArray("[Z]\n\x01\n", 6));
    auto q = Open(ini);
    ASSERT_TRUE(q->DeleteSection(QStringLiteral("Z")));
    q.reset();
    EXPECT_EQ(ReadBytes(dir.path() / "Tarnwick.ini.damaged"), damaged);
    EXPECT_EQ(ReadBytes(dir.path() / "Tarnwick.ini.damaged.1"), QByteArray("[Z]\n\x01\n", 6));
}

TEST_F(StoreSafety, OversizedFileIsNeitherReadNorOverwritten) {
    WriteBytes(ini, "[A]\nk=v\n");
    fs::resize_file(ini, static_cast<std::uintmax_t>(ProfileStore::kMaxFileBytes) + 1);
    auto p = Open(ini);
    EXPECT_TRUE(p->GetSectNames().isEmpty());
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("k"), QStringLiteral("d")),
              OptText("d"));
    EXPECT_FALSE(p->WriteString(QStringLiteral("A"), QStringLiteral("k"), "w"));
    p.reset();
    EXPECT_EQ(fs::file_size(ini), static_cast<std::uintmax_t>(ProfileStore::kMaxFileBytes) + 1);
}

TEST_F(StoreSafety, FolderInPlaceOfTheFileGivesDefaultsAndRefusesWrites) {
    fs::create_directory(ini);
    auto p = Open(ini);
    EXPECT_TRUE(p->GetSectNames().isEmpty());
    EXPECT_FALSE(p->WriteString(QStringLiteral("A"), QStringLiteral("k"), "w"));
    p.reset();
    EXPECT_TRUE(fs::is_directory(ini));
}

TEST_F(StoreSafety, EmptyPathReadsDefaultsAndRefusesWrites) {
    clsProfile p;
    p.setFileName(QString());
    EXPECT_TRUE(p.GetSectNames().isEmpty());
    EXPECT_EQ(p.GetString(QStringLiteral("A"), QStringLiteral("k"), QStringLiteral("d")),
              OptText("d"));
    EXPECT_FALSE(p.WriteString(QStringLiteral("A"), QStringLiteral("k"), "v"));
}

}  // namespace
