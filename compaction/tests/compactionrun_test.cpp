// The compaction run's steps with fakes that fail on demand, grouped by the
// run's failure regions: reading the count, the walk over the targets, and
// the closing steps.

#include "compaction/compactionrun.h"

#include <gtest/gtest.h>

#include <QFileInfo>

#include "compaction/tests/fakes.h"

using namespace compaction_test;

namespace {

const QString kProvider = QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=");
const QString kPw = QStringLiteral("Jet OLEDB:Database Password=");

class RunTest : public ::testing::Test {
  protected:
    QStringList log;
    FakeView view{log};
    FakeBoxes boxes;
    EngineScript engineScript;
    std::function<QString(const QString&)> fileScript;
    int enginesMade = 0;
    int fileSystemsMade = 0;

    void Run() {
        CompactionRun run(
            view, boxes,
            [this] {
                ++enginesMade;
                return std::make_unique<FakeEngine>(log, engineScript);
            },
            [this] {
                ++fileSystemsMade;
                return std::make_unique<FakeFileSystem>(log, fileScript);
            });
        run.Run();
    }
    QString Compact(const QString& path, const QString& password = {}) const {
        QString source = kProvider + path + u';';
        QString destination = kProvider + QStringLiteral("TmpMDB.mdb;");
        if (!password.isEmpty()) {
            source += kPw + password;
            destination += kPw + password;
        }
        return QStringLiteral("compact ") + source + QStringLiteral(" -> ") + destination;
    }
    static QString Failure(const QString& path, const QString& description) {
        return QStringLiteral("Failed in optimizing\r\n") + path +
               QStringLiteral("\r\n\r\nDetails : ") + description;
    }
    // The log lines that are calls of the engine or the file system.
    QStringList ServiceCalls() const {
        QStringList calls;
        for (const QString& line : log) {
            if (line.startsWith(QStringLiteral("compact ")) ||
                line.startsWith(QStringLiteral("delete ")) ||
                line.startsWith(QStringLiteral("move "))) {
                calls << line;
            }
        }
        return calls;
    }
};

// --- Percentages ----------------------------------------------------------

TEST(PercentText, RoundsToTwoPlacesWithTiesToEven) {
    QStringList eighths;
    for (int i = 1; i <= 8; ++i) {
        eighths << CompactionRun::PercentText(i, 8);
    }
    EXPECT_EQ(eighths, (QStringList{"12%", "25%", "38%", "50%", "62%", "75%", "88%", "100%"}));
    EXPECT_EQ(CompactionRun::PercentText(1, 3), "33%");
    EXPECT_EQ(CompactionRun::PercentText(2, 3), "67%");
    EXPECT_EQ(CompactionRun::PercentText(1, 200), "0%");  // 0.005: tie, to even 0.00
    EXPECT_EQ(CompactionRun::PercentText(3, 200), "2%");  // 0.015: tie, to even 0.02
    EXPECT_EQ(CompactionRun::PercentText(1, 199), "1%");  // 0.00502...: above the tie
    EXPECT_EQ(CompactionRun::PercentText(1, 201), "0%");  // 0.00497...: below the tie
    EXPECT_EQ(CompactionRun::PercentText(7, 7), "100%");
    EXPECT_EQ(CompactionRun::PercentText(2147483647, 2147483647), "100%");
    EXPECT_EQ(CompactionRun::PercentText(1073741823, 2147483646), "50%");
}

// --- Region one: the item count ---------------------------------------------

TEST_F(RunTest, EmptyListPausesHidesAndEmptiesWithoutServices) {
    Run();
    EXPECT_EQ(log, (QStringList{"count", "sleep 500", "hide", "text "}));
    EXPECT_EQ(enginesMade, 0);
    EXPECT_EQ(fileSystemsMade, 0);
    EXPECT_TRUE(boxes.exclamations.isEmpty());
}

TEST_F(RunTest, FailingCountShowsDescriptionAloneAndFinishes) {
    view.failOn = [](const QString& call) {
        if (call == "count") {
            throw std::runtime_error("The list cannot be read.");
        }
    };
    Run();
    EXPECT_EQ(boxes.exclamations, QStringList{"The list cannot be read."});
    EXPECT_EQ(log, (QStringList{"count", "sleep 500", "hide", "text "}));
}

// --- Region two: the walk ---------------------------------------------------

TEST_F(RunTest, NoCheckedTargetCountsThroughWithoutServices) {
    view.items = {{false, "/a.mdb", ""}, {false, "/b.mdb", "pw"}, {false, "/c.mdb", ""}};
    Run();
    EXPECT_EQ(log, (QStringList{"count", "max 3", "value 0", "show", "item 1", "value 1", "center",
                                "text 33%", "item 2", "value 2", "center", "text 67%", "item 3",
                                "value 3", "center", "text 100%", "sleep 500", "hide", "text "}));
    EXPECT_EQ(enginesMade, 0);
    EXPECT_EQ(fileSystemsMade, 0);
}

TEST_F(RunTest, EightItemsShowEachPercentage) {
    for (int i = 1; i <= 8; ++i) {
        view.items.push_back({i % 2 == 0, QStringLiteral("/db%1.mdb").arg(i), ""});
    }
    Run();
    EXPECT_EQ(view.Texts(),
              (QStringList{"12%", "25%", "38%", "50%", "62%", "75%", "88%", "100%", ""}));
    EXPECT_EQ(ServiceCalls().size(), 12);  // four ticked targets, three calls each
}

TEST_F(RunTest, TickedTargetIsCompactedDeletedAndMovedThenServicesReleased) {
    view.items = {
        {true, "/data/a b.mdb", ""}, {false, "/data/skip.mdb", ""}, {true, "rel/c.mdb", ""}};
    Run();
    EXPECT_EQ(log, (QStringList{"count",
                                "max 3",
                                "value 0",
                                "show",
                                "item 1",
                                Compact("/data/a b.mdb"),
                                "delete /data/a b.mdb noforce",
                                "move TmpMDB.mdb -> /data/a b.mdb",
                                "value 1",
                                "center",
                                "text 33%",
                                "item 2",
                                "value 2",
                                "center",
                                "text 67%",
                                "item 3",
                                Compact("rel/c.mdb"),
                                "delete rel/c.mdb noforce",
                                "move TmpMDB.mdb -> rel/c.mdb",
                                "value 3",
                                "center",
                                "text 100%",
                                "sleep 500",
                                "hide",
                                "text ",
                                "engine released",
                                "files released"}));
    EXPECT_EQ(enginesMade, 1);
    EXPECT_EQ(fileSystemsMade, 1);
    EXPECT_TRUE(boxes.exclamations.isEmpty());
}

TEST_F(RunTest, PasswordTargetFirstAttemptFailsSecondSucceedsSilently) {
    view.items = {{true, "/p.mdb", "s;e=cret"}};
    engineScript = [](const QString& source, const QString&) {
        return source.contains(kPw) ? QString() : QStringLiteral("Not a valid password.");
    };
    Run();
    EXPECT_EQ(ServiceCalls(), (QStringList{Compact("/p.mdb"), Compact("/p.mdb", "s;e=cret"),
                                           "delete /p.mdb noforce", "move TmpMDB.mdb -> /p.mdb"}));
    EXPECT_TRUE(boxes.exclamations.isEmpty());
    EXPECT_EQ(enginesMade, 1);
}

TEST_F(RunTest, PasswordOnUnprotectedDatabaseIsNeverUsed) {
    view.items = {{true, "/u.mdb", "unused"}};
    Run();
    EXPECT_EQ(ServiceCalls(), (QStringList{Compact("/u.mdb"), "delete /u.mdb noforce",
                                           "move TmpMDB.mdb -> /u.mdb"}));
}

TEST_F(RunTest, WrongPasswordShowsThePasswordAttemptsDescription) {
    view.items = {{true, "/p.mdb", "wrong"}, {true, "/later.mdb", ""}};
    engineScript = [](const QString& source, const QString&) {
        return source.contains(kPw) ? QStringLiteral("second: wrong password")
                                    : QStringLiteral("first: no password");
    };
    Run();
    EXPECT_EQ(boxes.exclamations, QStringList{Failure("/p.mdb", "second: wrong password")});
    EXPECT_EQ(ServiceCalls(), (QStringList{Compact("/p.mdb"), Compact("/p.mdb", "wrong")}));
    EXPECT_EQ(fileSystemsMade, 0);
    // The message comes while the bar still shows the items before it.
    EXPECT_EQ(log.mid(log.indexOf(Compact("/p.mdb", "wrong")) + 1),
              (QStringList{"sleep 500", "hide", "text ", "engine released"}));
}

TEST_F(RunTest, ProtectedDatabaseWithoutPasswordEndsTheRun) {
    view.items = {{true, "/p.mdb", ""}, {true, "/later.mdb", ""}};
    engineScript = [](const QString&, const QString&) {
        return QStringLiteral("Not a valid password.");
    };
    Run();
    EXPECT_EQ(boxes.exclamations, QStringList{Failure("/p.mdb", "Not a valid password.")});
    EXPECT_EQ(ServiceCalls(), QStringList{Compact("/p.mdb")});
    EXPECT_FALSE(log.contains("item 2"));
}

// Once the compaction has succeeded, a failed delete or move ends the run
// with its message, password or not (absorbing it once could leave the
// database gone from its path with no word), and the message says where
// the compacted database is, by its full path.
TEST_F(RunTest, AFailedDeleteOrMoveAfterTheCompactionAlwaysEndsTheRunNamingTheCopy) {
    struct Case {
        const char* password;
        const char* failing;  // "delete" or "move"
        QStringList calls;
    };
    const QString copy = QFileInfo(QStringLiteral("TmpMDB.mdb")).absoluteFilePath();
    const std::vector<Case> cases = {
        {"", "delete", {Compact("/d.mdb"), "delete /d.mdb noforce"}},
        {"pw", "delete", {Compact("/d.mdb"), "delete /d.mdb noforce"}},
        {"", "move", {Compact("/d.mdb"), "delete /d.mdb noforce", "move TmpMDB.mdb -> /d.mdb"}},
        {"pw", "move", {Compact("/d.mdb"), "delete /d.mdb noforce", "move TmpMDB.mdb -> /d.mdb"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.failing) + " with password \"" + c.password + "\"");
        log.clear();
        boxes.exclamations.clear();
        view.items = {{true, "/d.mdb", c.password}, {true, "/later.mdb", ""}};
        const QString failing = QString::fromUtf8(c.failing);
        fileScript = [failing](const QString& call) {
            return call.startsWith(failing) ? QStringLiteral("refused") : QString();
        };
        Run();
        EXPECT_EQ(ServiceCalls(), c.calls);
        EXPECT_EQ(boxes.exclamations, QStringList{Failure("/d.mdb", "refused") +
                                                  QStringLiteral(" The compacted database is \"") +
                                                  copy + QStringLiteral("\".")});
        EXPECT_FALSE(log.contains("item 2"));
    }
}

TEST_F(RunTest, SecondOfTwoCheckedFailsFirstIsReplacedLaterUntouched) {
    view.items = {{true, "/one.mdb", ""},
                  {true, "/two.mdb", ""},
                  {true, "/three.mdb", ""},
                  {false, "/four.mdb", ""}};
    engineScript = [](const QString& source, const QString&) {
        return source.contains(QStringLiteral("/two.mdb")) ? QStringLiteral("damaged page 7")
                                                           : QString();
    };
    Run();
    EXPECT_EQ(ServiceCalls(), (QStringList{Compact("/one.mdb"), "delete /one.mdb noforce",
                                           "move TmpMDB.mdb -> /one.mdb", Compact("/two.mdb")}));
    EXPECT_EQ(boxes.exclamations, QStringList{Failure("/two.mdb", "damaged page 7")});
    EXPECT_EQ(view.Texts(), (QStringList{"25%", ""}));
    EXPECT_FALSE(log.contains("item 3"));
}

TEST_F(RunTest, RetryFlagIsClearedForEachCheckedTarget) {
    view.items = {{true, "/a.mdb", "pa"}, {true, "/b.mdb", "pb"}};
    engineScript = [](const QString& source, const QString&) {
        return source.contains(kPw) ? QString() : QStringLiteral("Not a valid password.");
    };
    Run();
    EXPECT_TRUE(boxes.exclamations.isEmpty());
    EXPECT_EQ(ServiceCalls().size(), 8);
    EXPECT_EQ(enginesMade, 1);
    EXPECT_EQ(fileSystemsMade, 1);
}

TEST_F(RunTest, FailingViewBeforeAnyItemShowsDescriptionAlone) {
    view.items = {{true, "/a.mdb", "pw"}};
    view.failOn = [](const QString& call) {
        if (call == "show") {
            throw std::runtime_error("The progress bar is gone.");
        }
    };
    Run();
    EXPECT_EQ(boxes.exclamations, QStringList{"The progress bar is gone."});
    EXPECT_TRUE(ServiceCalls().isEmpty());
}

TEST_F(RunTest, FailingFetchOfAnItemDoesNotNameThePreviousOne) {
    view.items = {{true, "/one.mdb", "pw"}, {true, "/two.mdb", "pw"}};
    view.failOn = [](const QString& call) {
        if (call == "item 2") {
            throw std::runtime_error("Item 2 cannot be read.");
        }
    };
    Run();
    EXPECT_EQ(boxes.exclamations, QStringList{"Item 2 cannot be read."});
    EXPECT_EQ(ServiceCalls(), (QStringList{Compact("/one.mdb"), "delete /one.mdb noforce",
                                           "move TmpMDB.mdb -> /one.mdb"}));
}

TEST_F(RunTest, MissingEngineIsReportedAsAFailure) {
    view.items = {{true, "/a.mdb", ""}};
    CompactionRun run(
        view, boxes, [] { return std::unique_ptr<DatabaseEngine>(); },
        [this] { return std::make_unique<FakeFileSystem>(log, nullptr); });
    run.Run();
    ASSERT_EQ(boxes.exclamations.size(), 1);
    EXPECT_TRUE(boxes.exclamations[0].startsWith(Failure("/a.mdb", "")));
}

// --- Region three: the closing steps -----------------------------------------

TEST_F(RunTest, FailuresWhileClosingAreIgnored) {
    view.items = {{false, "/a.mdb", ""}};
    view.failOn = [](const QString& call) {
        if (call == "sleep 500" || call == "hide") {
            throw std::runtime_error("closing failed");
        }
    };
    Run();
    EXPECT_TRUE(boxes.exclamations.isEmpty());
    EXPECT_EQ(log.mid(log.size() - 3), (QStringList{"sleep 500", "hide", "text "}));
}

}  // namespace
