// OK's existence check against the real file service and real files: a
// copy of a corpus database, a folder, an empty path, a path with a blank.

#include <QDialog>
#include <QLineEdit>
#include <QtTest>
#include <filesystem>

#include "compaction/filesystem.h"
#include "entrydialog/frmadd.h"
#include "fakes.h"
#include "testsupport/corpus.h"

class RealFilesTest : public QObject {
    Q_OBJECT

  private slots:
    void okChecksThePathOnDisk_data();
    void okChecksThePathOnDisk();
};

void RealFilesTest::okChecksThePathOnDisk_data() {
    QTest::addColumn<QString>("suffix");  // appended to the scratch folder; "" = empty path
    QTest::addColumn<bool>("accepted");
    QTest::newRow("database") << QStringLiteral("/db.mdb") << true;
    QTest::newRow("empty path") << QString() << false;
    QTest::newRow("folder") << QStringLiteral("/sub") << false;
    QTest::newRow("folder named like a database") << QStringLiteral("/folder.mdb") << false;
    QTest::newRow("leading blank") << QStringLiteral(" /db.mdb") << false;
    QTest::newRow("trailing blank") << QStringLiteral("/db.mdb ") << false;
    QTest::newRow("missing file") << QStringLiteral("/gone.mdb") << false;
}

void RealFilesTest::okChecksThePathOnDisk() {
    QFETCH(QString, suffix);
    QFETCH(bool, accepted);
    const auto corpus = testsupport::corpus_files("jet4");
    if (corpus.empty())
        QSKIP("corpus absent");
    testsupport::ScratchDir scratch;
    const auto copy = testsupport::copy_to_scratch(corpus.front().path, scratch.path());
    std::filesystem::rename(copy, scratch.path() / "db.mdb");
    std::filesystem::create_directory(scratch.path() / "sub");
    std::filesystem::create_directory(scratch.path() / "folder.mdb");

    const QString dir = QString::fromStdString(scratch.path().string());
    QString path;
    if (suffix.startsWith(QLatin1Char(' ')))
        path = QStringLiteral(" ") + dir + suffix.mid(1);
    else if (!suffix.isEmpty())
        path = dir + suffix;

    RecordingBoxes boxes;
    RecordingSink sink{boxes};
    ScriptedPicker picker;
    frmAdd form(
        sink, boxes, [] { return std::make_unique<FileSystemObject>(); }, nullptr, &picker);
    form.m_bAdd = true;
    form.txtCaption()->setText(QStringLiteral("North"));
    form.txtFile()->setText(path);
    form.txtPasswd()->setText(QString());
    form.window()->show();
    form.cmdOK_Click();

    if (accepted) {
        QVERIFY(boxes.exclamations.isEmpty());
        QCOMPARE(sink.calls.size(), 1);
        QCOMPARE(sink.calls[0].strFile, path);
        QVERIFY(!form.IsLoaded());
    } else {
        QCOMPARE(boxes.exclamations,
                 QStringList{QStringLiteral("'") + path + QStringLiteral("' is not found.")});
        QVERIFY(sink.calls.isEmpty());
        QVERIFY(form.IsLoaded());
        QCOMPARE(form.txtFile()->text(), path);
    }
}

QTEST_MAIN(RealFilesTest)
#include "tst_realfiles.moc"
