// Random input: arbitrary bytes as a settings file never crash the store and
// lose nothing, and arbitrary single-line texts read back exactly as written.

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "settings/clsprofile.h"
#include "settings/tests/settings_test_util.h"
#include "testsupport/corpus.h"

using settings_test::Q;
using settings_test::ReadBytes;
using settings_test::WriteBytes;

namespace {

// Bytes biased towards what an INI file is made of.
QByteArray RandomFile(std::mt19937& rng) {
    static const char kPieces[][8] = {"[", "]", "=",        "\n",   "\r\n", ";",    " ",    "\t",
                                      "a", "B", "\xC3\xA9", "\xE9", "\x00", "\xFF", "\xFE", "\x80"};
    std::uniform_int_distribution<int> length(0, 400);
    std::uniform_int_distribution<int> piece(0, 15);
    QByteArray bytes;
    for (int n = length(rng); n > 0; --n) {
        const int p = piece(rng);
        bytes.append(p == 12 ? QByteArray(1, '\0') : QByteArray(kPieces[p]));
    }
    return bytes;
}

TEST(RandomSettingsFiles, ReadWithoutCrashAndKeepEverySectionOnRewrite) {
    std::mt19937 rng(20261208);
    testsupport::ScratchDir dir;
    for (int round = 0; round < 120; ++round) {
        const auto path = dir.path() / ("r" + std::to_string(round) + ".ini");
        const QByteArray original = RandomFile(rng);
        WriteBytes(path, original);
        QStringList before;
        {
            clsProfile p;
            p.setFileName(Q(path));
            before = p.GetSectNames();
            for (const QString& s : before) {
                p.GetString(s, QStringLiteral("k"), QStringLiteral("d"));
                p.GetInt(s, QStringLiteral("k"), 1);
            }
            ASSERT_TRUE(p.WriteString(QStringLiteral("Added"), QStringLiteral("Key"), "v=1"))
                << "round " << round;
        }
        clsProfile q;
        q.setFileName(Q(path));
        const QStringList after = q.GetSectNames();
        ASSERT_GE(after.size(), 1) << "round " << round;
        // Every section read before is still there, in the same order.
        int at = 0;
        for (const QString& s : before) {
            while (at < after.size() && after[at] != s) {
                ++at;
            }
            ASSERT_LT(at, after.size()) << "round " << round << " lost [" << s.toStdString() << "]";
            ++at;
        }
        EXPECT_EQ(q.GetString(QStringLiteral("Added"), QStringLiteral("Key"), {}),
                  OptText(QStringLiteral("v=1")));
        const bool utf16 = original.startsWith("\xFF\xFE") || original.startsWith("\xFE\xFF");
        if (!utf16 && original.contains('\0')) {
            // Binary input is kept beside the file before the first rewrite
            // (a file with a UTF-16 mark is text and is converted instead).
            bool kept = false;
            for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
                kept = kept || ReadBytes(e.path()) == original;
            }
            EXPECT_TRUE(kept) << "round " << round;
        }
    }
}

QString RandomText(std::mt19937& rng, int maxLength) {
    static const QString kChars = QStringLiteral("abcXYZ019 =[];#'\"\t\\/.,éß€東");
    std::uniform_int_distribution<int> length(0, maxLength);
    std::uniform_int_distribution<int> pick(0, static_cast<int>(kChars.size()) - 1);
    QString text;
    for (int n = length(rng); n > 0; --n) {
        text += kChars[pick(rng)];
    }
    return text;
}

TEST(RandomTexts, ValuesAndSectionNamesReadBackExactly) {
    std::mt19937 rng(7);
    testsupport::ScratchDir dir;
    const QString path = Q(dir.path() / "Tarnwick.ini");
    std::vector<std::pair<QString, QString>> written;  // section, value of key "File"
    {
        clsProfile p;
        p.setFileName(path);
        for (int i = 0; i < 200; ++i) {
            QString section = RandomText(rng, 12);
            // Keep names distinct and never empty; a leading "[" would still be
            // read back, but a name that is only blanks is not a useful target.
            section = QString::number(i) + u'_' + section;
            const QString value = RandomText(rng, 30);
            ASSERT_TRUE(p.WriteString(section, QStringLiteral("File"), value))
                << section.toStdString();
            written.emplace_back(section, value);
        }
    }
    clsProfile q;
    q.setFileName(path);
    const QStringList names = q.GetSectNames();
    ASSERT_EQ(names.size(), static_cast<qsizetype>(written.size()));
    for (size_t i = 0; i < written.size(); ++i) {
        EXPECT_EQ(names[static_cast<qsizetype>(i)], written[i].first);
        EXPECT_EQ(q.GetString(written[i].first, QStringLiteral("File"), {}).value_or(""),
                  written[i].second)
            << written[i].first.toStdString();
    }
}

}  // namespace
