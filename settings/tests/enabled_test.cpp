// Reading the "Enabled" value, and a list saved and loaded the way the main
// window does it.

#include "settings/enabled.h"

#include <gtest/gtest.h>

#include <memory>

#include "settings/clsprofile.h"
#include "settings/tests/settings_test_util.h"
#include "testsupport/corpus.h"

namespace {

TEST(ParseEnabled, BooleansInAnyCaseAndNumbers) {
    EXPECT_EQ(ParseEnabled("True"), true);
    EXPECT_EQ(ParseEnabled("true"), true);
    EXPECT_EQ(ParseEnabled("TRUE"), true);
    EXPECT_EQ(ParseEnabled("False"), false);
    EXPECT_EQ(ParseEnabled("fAlSe"), false);
    EXPECT_EQ(ParseEnabled("0"), false);
    EXPECT_EQ(ParseEnabled("-0"), false);
    EXPECT_EQ(ParseEnabled("0.00"), false);
    EXPECT_EQ(ParseEnabled("0e7"), false);
    EXPECT_EQ(ParseEnabled("1"), true);
    EXPECT_EQ(ParseEnabled("-1"), true);
    EXPECT_EQ(ParseEnabled(" 2 "), true);
    EXPECT_EQ(ParseEnabled("0.5"), true);
    EXPECT_EQ(ParseEnabled("99999999999999999999999"), true);
}

TEST(ParseEnabled, UnreadableValuesGiveNothingAndLoadUnticked) {
    for (const char* text :
         {"", " ", "yes", "on", "1x", "Truee", "0x1", "nan", "inf", "1e", "--1", "."}) {
        EXPECT_EQ(ParseEnabled(QString::fromLatin1(text)), std::nullopt) << text;
        EXPECT_FALSE(EnabledOrUnticked(QString::fromLatin1(text))) << text;
    }
    EXPECT_FALSE(EnabledOrUnticked(std::nullopt));
    EXPECT_TRUE(EnabledOrUnticked(QStringLiteral("TRUE")));
}

// Three targets with "=" in caption, path and password, the second unticked,
// saved and loaded as the window's unload and load handlers do.
TEST(TargetListRoundTrip, ThreeTargetsKeepOrderTextsAndTicks) {
    testsupport::ScratchDir dir;
    const QString ini = settings_test::Q(dir.path() / "Tarnwick.ini");
    settings_test::WriteBytes(dir.path() / "Tarnwick.ini", "[Stale]\nFile=/old.mdb\n");
    struct Target {
        QString caption, file, password;
        bool enabled;
    };
    const std::vector<Target> targets = {
        {"a=b", "/data/x=y.mdb", "p=w", true},
        {"Second", "/data/second.mdb", "", false},
        {"Third [3]", "/data/third.mdb", "==", true},
    };
    {
        clsProfile save;
        save.setFileName(ini);
        for (const QString& name : save.GetSectNames()) {
            save.DeleteSection(name);
        }
        for (const Target& t : targets) {
            save.WriteString(t.caption, QStringLiteral("Enabled"), t.enabled ? "True" : "False");
            save.WriteString(t.caption, QStringLiteral("File"), t.file);
            save.WriteString(t.caption, QStringLiteral("Password"), t.password);
        }
    }
    clsProfile load;
    load.setFileName(ini);
    const QStringList names = load.GetSectNames();
    ASSERT_EQ(names.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const Target& t = targets[static_cast<size_t>(i)];
        EXPECT_EQ(names[i], t.caption);
        EXPECT_EQ(load.GetString(names[i], QStringLiteral("File"), QString()).value_or(""), t.file);
        EXPECT_EQ(load.GetString(names[i], QStringLiteral("Password"), QString()).value_or(""),
                  t.password);
        EXPECT_EQ(EnabledOrUnticked(load.GetString(names[i], QStringLiteral("Enabled"), QString())),
                  t.enabled);
    }
}

}  // namespace
