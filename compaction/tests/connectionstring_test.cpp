// How the engine facade reads the run's connection strings.

#include <gtest/gtest.h>

#include <QDir>
#include <filesystem>

#include "compaction/jetengine.h"
#include "testsupport/corpus.h"

namespace {

const QString kProvider = QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=");
const QString kPw = QStringLiteral("Jet OLEDB:Database Password=");

TEST(ConnectionString, FirstAttemptHasPathAndNoPassword) {
    const ConnectionTarget t = ParseConnectionString(kProvider + "/data/sales.mdb;");
    EXPECT_EQ(t.dataSource, "/data/sales.mdb");
    EXPECT_EQ(t.password, std::nullopt);
}

TEST(ConnectionString, PasswordRunsToTheEndAndMayHoldSemicolonsAndEquals) {
    const ConnectionTarget t = ParseConnectionString(kProvider + "/d/p.mdb;" + kPw + "a;b=c;");
    EXPECT_EQ(t.dataSource, "/d/p.mdb");
    EXPECT_EQ(t.password, QStringLiteral("a;b=c;"));
    const ConnectionTarget tricky =
        ParseConnectionString(kProvider + "TmpMDB.mdb;" + kPw + "Data Source=x;");
    EXPECT_EQ(tricky.dataSource, "TmpMDB.mdb");
    EXPECT_EQ(tricky.password, QStringLiteral("Data Source=x;"));
}

TEST(ConnectionString, PathMayHoldSemicolonsAndEquals) {
    EXPECT_EQ(ParseConnectionString(kProvider + "/d/a;b=c.mdb;").dataSource, "/d/a;b=c.mdb");
    const ConnectionTarget t = ParseConnectionString(kProvider + "/d/a;b.mdb;" + kPw + "pw");
    EXPECT_EQ(t.dataSource, "/d/a;b.mdb");
    EXPECT_EQ(t.password, QStringLiteral("pw"));
}

TEST(ConnectionString, EmptyPasswordIsPresentButEmpty) {
    const ConnectionTarget t = ParseConnectionString(kProvider + "/d/p.mdb;" + kPw);
    EXPECT_EQ(t.password, QString());
}

TEST(ConnectionString, MissingOrEmptyDataSourceFails) {
    EXPECT_THROW(ParseConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;"), EngineError);
    EXPECT_THROW(ParseConnectionString(kProvider + ";"), EngineError);
    try {
        ParseConnectionString("Provider=x;" + kPw + "secret");
    } catch (const EngineError& e) {
        EXPECT_FALSE(e.Description().contains("secret")) << "descriptions never show passwords";
    }
}

TEST(ConnectionString, RelativePathIsTakenFromWorkingDirectory) {
    testsupport::ScratchDir dir;
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const QString cwd = QDir::currentPath();
    EXPECT_EQ(ResolveDataSource("TmpMDB.mdb"), cwd + "/TmpMDB.mdb");
    EXPECT_EQ(ResolveDataSource("sub/../x.mdb"), cwd + "/x.mdb");
    EXPECT_EQ(ResolveDataSource(" lead.mdb"), cwd + "/ lead.mdb");
    EXPECT_EQ(ResolveDataSource("/abs/y.mdb"), "/abs/y.mdb");
    std::filesystem::current_path(old);
}

}  // namespace
