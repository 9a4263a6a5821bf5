// clsProfile over the profile store: buffer limits, absent and empty text,
// names without regard to case, where new keys and sections go, and release.

#include "settings/clsprofile.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <memory>

#include "settings/tests/settings_test_util.h"
#include "testsupport/corpus.h"

using settings_test::Q;
using settings_test::ReadBytes;
using settings_test::WriteBytes;

namespace {

class ProfileTest : public ::testing::Test {
  protected:
    testsupport::ScratchDir dir;
    std::filesystem::path ini = dir.path() / "Tarnwick.ini";

    std::unique_ptr<clsProfile> Open() {
        auto p = std::make_unique<clsProfile>();
        p->setFileName(Q(ini));
        return p;
    }
};

// --- TrimNull -------------------------------------------------------------

TEST(TrimNull, ThreeModes) {
    const QString text = QStringLiteral("ab") + QChar(0) + u'c' + QChar(0) + QChar(0);
    EXPECT_EQ(clsProfile::TrimNull(text, 0), QStringLiteral("ab"));
    EXPECT_EQ(clsProfile::TrimNull(text, -1), QStringLiteral("ab") + QChar(0) + u'c');
    EXPECT_EQ(clsProfile::TrimNull(text, 3), QStringLiteral("ab"));
    EXPECT_EQ(clsProfile::TrimNull(QString(3, QChar(0)), -1), QString());
    EXPECT_EQ(clsProfile::TrimNull(QString(), -1), QString());
    EXPECT_EQ(clsProfile::TrimNull(QStringLiteral("abc"), 10), QStringLiteral("abc"));
    EXPECT_EQ(clsProfile::TrimNull(QStringLiteral("abc"), 1), QString());
}

// --- Defaults, absent and empty text --------------------------------------

TEST(ProfileDefaults, DefaultPathIsExecutableNameWithIni) {
    clsProfile p;
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    const QFileInfo info(exe);
    EXPECT_EQ(p.FileName(), info.absolutePath() + u'/' + info.completeBaseName() + ".ini");
}

TEST_F(ProfileTest, MissingFileReadsAsNoSections) {
    auto p = Open();
    EXPECT_TRUE(p->GetSectNames().isEmpty());
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("File"), QString()), std::nullopt);
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("File"), QStringLiteral("d")),
              OptText(QStringLiteral("d")));
    EXPECT_EQ(p->GetInt(QStringLiteral("A"), QStringLiteral("N"), 42), 42);
    p.reset();
    EXPECT_FALSE(std::filesystem::exists(ini)) << "reading must not create the file";
}

TEST_F(ProfileTest, EmptyValueIsAbsentMissingKeyGivesDefault) {
    WriteBytes(ini, "[A]\nEmpty=\nFull=x\n");
    auto p = Open();
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("Empty"), QStringLiteral("d")),
              std::nullopt);
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("Full"), std::nullopt),
              OptText(QStringLiteral("x")));
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("Gone"), QStringLiteral("d")),
              OptText(QStringLiteral("d")));
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("Gone"), QString()), std::nullopt);
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("Gone"), std::nullopt),
              std::nullopt);
}

TEST_F(ProfileTest, AbsentDataDeletesKeyAbsentKeyDeletesSection) {
    WriteBytes(ini, "[A]\nk1=1\nk2=2\nk3=3\n[B]\nx=y\n[C]\nz=w\n");
    auto p = Open();
    EXPECT_TRUE(p->WriteString(QStringLiteral("A"), QStringLiteral("k2"), std::nullopt));
    EXPECT_TRUE(p->DeleteKey(QStringLiteral("A"), QStringLiteral("k3")));
    EXPECT_TRUE(p->WriteString(QStringLiteral("A"), QStringLiteral("e"), QString()));
    EXPECT_TRUE(p->DeleteSection(QStringLiteral("B")));
    p->Flush();
    EXPECT_EQ(ReadBytes(ini), QByteArray("[A]\nk1=1\ne=\n[C]\nz=w\n"));
    EXPECT_EQ(p->GetSectNames(), (QStringList{"A", "C"}));
    EXPECT_TRUE(p->DeleteSection(QStringLiteral("nothing-there")));
    EXPECT_TRUE(p->DeleteKey(QStringLiteral("nothing-there"), QStringLiteral("k")));
}

// --- Read buffer limits ---------------------------------------------------

TEST_F(ProfileTest, LongValuesAreCutAt199998) {
    auto p = Open();
    const QString exact(199998, u'v');
    const QString over(199999, u'w');
    const QString huge(1000000, u'h');
    ASSERT_TRUE(p->WriteString(QStringLiteral("S"), QStringLiteral("exact"), exact));
    ASSERT_TRUE(p->WriteString(QStringLiteral("S"), QStringLiteral("over"), over));
    ASSERT_TRUE(p->WriteString(QStringLiteral("S"), QStringLiteral("huge"), huge));
    EXPECT_EQ(p->GetString(QStringLiteral("S"), QStringLiteral("exact"), {}), OptText(exact));
    EXPECT_EQ(p->GetString(QStringLiteral("S"), QStringLiteral("over"), {}),
              OptText(over.left(199998)));
    EXPECT_EQ(p->GetString(QStringLiteral("S"), QStringLiteral("huge"), {})->size(), 199998);
    // The huge value itself is kept whole in the file.
    p->Flush();
    EXPECT_TRUE(ReadBytes(ini).contains("huge=" + QByteArray(1000000, 'h') + "\n"));

    QChar buffer[16];
    ProfileStore store(Q(ini));
    EXPECT_EQ(store.GetString(QStringLiteral("S"), QStringLiteral("exact"), {}, buffer, 10), 9);
    EXPECT_EQ(buffer[9], QChar(0));
    EXPECT_EQ(store.GetString(QStringLiteral("S"), QStringLiteral("gone"), QStringLiteral("long-d"),
                              buffer, 4),
              3);
    EXPECT_EQ(QString(buffer, 3), QStringLiteral("lon"));
}

TEST_F(ProfileTest, SectionListThatDoesNotFitIsCutAt199997) {
    // 40 names of 9999 characters: 400000 characters, twice the buffer.
    QByteArray text;
    for (int i = 0; i < 40; ++i) {
        text += "[" + QByteArray(9998, char('a' + i % 26)) + QByteArray::number(i % 10) + "]\n";
    }
    WriteBytes(ini, text);
    std::vector<QChar> buffer(clsProfile::kBufferChars, QChar(u'x'));
    ProfileStore store(Q(ini));
    const int count = store.GetString(std::nullopt, std::nullopt, std::nullopt, buffer.data(),
                                      clsProfile::kBufferChars - 1);
    EXPECT_EQ(count, 199997);
    EXPECT_EQ(buffer[199997], QChar(0));
    EXPECT_EQ(buffer[199998], QChar(0));

    auto p = Open();
    const QStringList names = p->GetSectNames();
    ASSERT_EQ(names.size(), 20);  // 19 whole names (190000 chars) and a cut one
    EXPECT_EQ(names[0].size(), 9999);
    EXPECT_EQ(names[18].size(), 9999);
    EXPECT_EQ(names[19].size(), 199997 - 19 * 10000);
}

TEST_F(ProfileTest, SectionListFitsExactly) {
    WriteBytes(ini, "[A]\n[BB]\n[]\n[C]\n");
    QChar buffer[12];
    ProfileStore store(Q(ini));
    // "A\0BB\0\0C\0" and the final NUL: 9 characters, count 8.
    EXPECT_EQ(store.GetString(std::nullopt, std::nullopt, std::nullopt, buffer, 9), 8);
    EXPECT_EQ(QString(buffer, 9),
              QString("A") + QChar(0) + "BB" + QChar(0) + QChar(0) + "C" + QChar(0) + QChar(0));
    // One character short: cut to size - 2 and two NULs.
    std::fill(std::begin(buffer), std::end(buffer), QChar(u'x'));
    EXPECT_EQ(store.GetString(std::nullopt, std::nullopt, std::nullopt, buffer, 8), 6);
    EXPECT_EQ(QString(buffer, 9),
              QString("A") + QChar(0) + "BB" + QChar(0) + QChar(0) + QChar(0) + QChar(0) + "x");
    auto p = Open();
    EXPECT_EQ(p->GetSectNames(), (QStringList{"A", "BB", "", "C"}));
}

// --- Names, order, layout -------------------------------------------------

TEST_F(ProfileTest, NewFileNewKeysAndSectionsGoLast) {
    auto p = Open();
    ASSERT_TRUE(p->WriteString(QStringLiteral("Sales"), QStringLiteral("Enabled"), "True"));
    ASSERT_TRUE(p->WriteString(QStringLiteral("Sales"), QStringLiteral("File"), "/d/sales.mdb"));
    ASSERT_TRUE(p->WriteString(QStringLiteral("Zeta"), QStringLiteral("File"), "/z.mdb"));
    ASSERT_TRUE(p->WriteString(QStringLiteral("Alpha"), QStringLiteral("File"), "/a.mdb"));
    ASSERT_TRUE(p->WriteString(QStringLiteral("Sales"), QStringLiteral("Password"), "pw"));
    p->Flush();
    EXPECT_EQ(ReadBytes(ini), QByteArray("[Sales]\nEnabled=True\nFile=/d/sales.mdb\nPassword=pw\n"
                                         "\n[Zeta]\nFile=/z.mdb\n\n[Alpha]\nFile=/a.mdb\n"));
    EXPECT_EQ(p->GetSectNames(), (QStringList{"Sales", "Zeta", "Alpha"}));
}

TEST_F(ProfileTest, NamesMatchWithoutRegardToCase) {
    auto p = Open();
    ASSERT_TRUE(p->WriteString(QStringLiteral("DB"), QStringLiteral("File"), "one"));
    ASSERT_TRUE(p->WriteString(QStringLiteral("db"), QStringLiteral("file"), "two"));
    EXPECT_EQ(p->GetSectNames(), (QStringList{"DB"}));
    EXPECT_EQ(p->GetString(QStringLiteral("dB"), QStringLiteral("FILE"), {}),
              OptText(QStringLiteral("two")));
    p->Flush();
    EXPECT_EQ(ReadBytes(ini), QByteArray("[DB]\nFile=two\n"));
    EXPECT_TRUE(p->DeleteSection(QStringLiteral("db")));
    EXPECT_TRUE(p->GetSectNames().isEmpty());
}

TEST_F(ProfileTest, TextsReadBackExactly) {
    auto p = Open();
    const QString caption = QStringLiteral("Q1 [final] = sales]");
    const QString path = QStringLiteral(" /data/a=b;c.mdb ");
    const QString password = QStringLiteral("\"p=w;'\" ");
    const QString unicode = QStringLiteral("Café € 東京");
    ASSERT_TRUE(p->WriteString(caption, QStringLiteral("File"), path));
    ASSERT_TRUE(p->WriteString(caption, QStringLiteral("Password"), password));
    ASSERT_TRUE(p->WriteString(unicode, QStringLiteral("File"), unicode));
    p.reset();  // release flushes
    auto q = Open();
    EXPECT_EQ(q->GetSectNames(), (QStringList{caption, unicode}));
    EXPECT_EQ(q->GetString(caption, QStringLiteral("File"), {}), OptText(path));
    EXPECT_EQ(q->GetString(caption, QStringLiteral("Password"), {}), OptText(password));
    EXPECT_EQ(q->GetString(unicode, QStringLiteral("File"), {}), OptText(unicode));
}

TEST_F(ProfileTest, UntouchedLinesKeepTheirBytes) {
    const QByteArray original =
        "; comment\r\n\r\n[A]\r\nFile = /x.mdb\r\nnot a key line\r\n[B]\r\nk=v\r\n"
        "Weird  =  spaced  \r\n";
    WriteBytes(ini, original);
    auto p = Open();
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("file"), {}),
              OptText(QStringLiteral(" /x.mdb")));
    EXPECT_EQ(p->GetString(QStringLiteral("B"), QStringLiteral("Weird"), {}),
              OptText(QStringLiteral("  spaced  ")));
    ASSERT_TRUE(p->WriteString(QStringLiteral("B"), QStringLiteral("k"), "v"));  // no change
    p->Flush();
    EXPECT_EQ(ReadBytes(ini), original);
    ASSERT_TRUE(p->WriteString(QStringLiteral("B"), QStringLiteral("k"), "w"));
    ASSERT_TRUE(p->WriteString(QStringLiteral("B"), QStringLiteral("n"), "1"));
    p->Flush();
    QByteArray expected = original;
    expected.replace("k=v\r\n", "k=w\r\n");
    expected += "n=1\r\n";
    EXPECT_EQ(ReadBytes(ini), expected);
}

TEST_F(ProfileTest, LfAndCrLfAndMissingFinalLineEndRead) {
    WriteBytes(ini, "[A]\r\nx=1\r\n[B]\ny=2\n[C]\nz=3");
    auto p = Open();
    EXPECT_EQ(p->GetSectNames(), (QStringList{"A", "B", "C"}));
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("x"), {}), OptText("1"));
    EXPECT_EQ(p->GetString(QStringLiteral("B"), QStringLiteral("y"), {}), OptText("2"));
    EXPECT_EQ(p->GetString(QStringLiteral("C"), QStringLiteral("z"), {}), OptText("3"));
    ASSERT_TRUE(p->WriteString(QStringLiteral("C"), QStringLiteral("w"), "4"));
    p->Flush();
    EXPECT_EQ(ReadBytes(ini), QByteArray("[A]\r\nx=1\r\n[B]\r\ny=2\r\n[C]\r\nz=3\r\nw=4\r\n"));
}

TEST_F(ProfileTest, Windows1252FileIsReadNotGarbled) {
    WriteBytes(ini,
               "[Caf\xE9 \x80]\nFile=C:\\Donn\xE9"
               "es\\x.mdb\n");
    auto p = Open();
    EXPECT_EQ(p->GetSectNames(), (QStringList{QStringLiteral("Café €")}));
    EXPECT_EQ(p->GetString(QStringLiteral("CAFÉ €"), QStringLiteral("File"), {}),
              OptText(QStringLiteral("C:\\Données\\x.mdb")));
    ASSERT_TRUE(p->WriteString(QStringLiteral("Café €"), QStringLiteral("Enabled"), "True"));
    p->Flush();
    EXPECT_EQ(ReadBytes(ini),
              QStringLiteral("[Café €]\nFile=C:\\Données\\x.mdb\nEnabled=True\n").toUtf8());
}

TEST_F(ProfileTest, Utf8ByteOrderMarkIsSkippedAndKept) {
    WriteBytes(ini, "\xEF\xBB\xBF[A]\nk=\xC3\xA9\n");
    auto p = Open();
    EXPECT_EQ(p->GetSectNames(), (QStringList{"A"}));
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("k"), {}), OptText("é"));
    ASSERT_TRUE(p->WriteString(QStringLiteral("A"), QStringLiteral("j"), "1"));
    p->Flush();
    EXPECT_EQ(ReadBytes(ini), QByteArray("\xEF\xBB\xBF[A]\nk=\xC3\xA9\nj=1\n"));
}

TEST_F(ProfileTest, Utf16FileFromWindowsIsReadAndRewrittenAsUtf8) {
    const QString text = QStringLiteral("[Café]\r\nFile=C:\\a.mdb\r\n");
    QByteArray bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    WriteBytes(ini, bytes);
    auto p = Open();
    EXPECT_EQ(p->GetSectNames(), (QStringList{QStringLiteral("Café")}));
    EXPECT_EQ(p->GetString(QStringLiteral("café"), QStringLiteral("File"), {}),
              OptText(QStringLiteral("C:\\a.mdb")));
    ASSERT_TRUE(p->WriteString(QStringLiteral("Café"), QStringLiteral("Enabled"), "True"));
    p.reset();
    EXPECT_EQ(ReadBytes(ini),
              QStringLiteral("[Café]\r\nFile=C:\\a.mdb\r\nEnabled=True\r\n").toUtf8());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "Tarnwick.ini.damaged"));
}

TEST_F(ProfileTest, AbsentKeyListsTheSectionsKeys) {
    WriteBytes(ini, "[A]\nOne=1\n; note\nTwo=\n[B]\nThree=3\n");
    ProfileStore store(Q(ini));
    QChar buffer[32];
    const int count = store.GetString(QStringLiteral("a"), std::nullopt, {}, buffer, 32);
    EXPECT_EQ(QString(buffer, count + 1), QString("One") + QChar(0) + "Two" + QChar(0) + QChar(0));
    EXPECT_EQ(store.GetString(QStringLiteral("none"), std::nullopt, {}, buffer, 32), 0);
}

TEST_F(ProfileTest, GetIntReadsLeadingDecimalNumber) {
    WriteBytes(ini, "[N]\na=42\nb= -17x\nc=abc\nd=\ne=99999999999\nf=+5\n");
    auto p = Open();
    const QString n = QStringLiteral("N");
    EXPECT_EQ(p->GetInt(n, QStringLiteral("a"), 7), 42);
    EXPECT_EQ(p->GetInt(n, QStringLiteral("b"), 7), -17);
    EXPECT_EQ(p->GetInt(n, QStringLiteral("c"), 7), 0);
    EXPECT_EQ(p->GetInt(n, QStringLiteral("d"), 7), 7);
    EXPECT_EQ(p->GetInt(n, QStringLiteral("e"), 7), INT32_MAX);
    EXPECT_EQ(p->GetInt(n, QStringLiteral("f"), 7), 5);
    EXPECT_EQ(p->GetInt(n, QStringLiteral("missing"), -3), -3);
    EXPECT_EQ(p->GetInt(QStringLiteral("nosuch"), QStringLiteral("a"), -3), -3);
}

// --- Sharing and release --------------------------------------------------

TEST_F(ProfileTest, TwoObjectsSeeEachOthersWritesAndReleaseFlushes) {
    auto a = Open();
    auto b = Open();
    ASSERT_TRUE(a->WriteString(QStringLiteral("S"), QStringLiteral("k"), "from a"));
    EXPECT_EQ(b->GetString(QStringLiteral("S"), QStringLiteral("k"), {}), OptText("from a"));
    a.reset();
    ASSERT_TRUE(b->WriteString(QStringLiteral("S"), QStringLiteral("k2"), "from b"));
    b.reset();
    EXPECT_EQ(ReadBytes(ini), QByteArray("[S]\nk=from a\nk2=from b\n"));
}

TEST_F(ProfileTest, ChangeOnDiskIsSeenWhenNothingIsPending) {
    auto p = Open();
    WriteBytes(ini, "[A]\nk=1\n");
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("k"), {}), OptText("1"));
    WriteBytes(ini, "[A]\nk=22\n[B]\n");
    EXPECT_EQ(p->GetString(QStringLiteral("A"), QStringLiteral("k"), {}), OptText("22"));
    EXPECT_EQ(p->GetSectNames(), (QStringList{"A", "B"}));
}

TEST_F(ProfileTest, ChangingFileNameFlushesTheOldFile) {
    auto p = Open();
    ASSERT_TRUE(p->WriteString(QStringLiteral("S"), QStringLiteral("k"), "v"));
    p->setFileName(Q(dir.path() / "other.ini"));
    EXPECT_EQ(ReadBytes(ini), QByteArray("[S]\nk=v\n"));
    EXPECT_TRUE(p->GetSectNames().isEmpty());
    EXPECT_EQ(p->FileName(), Q(dir.path() / "other.ini"));
}

}  // namespace
