// What the entry dialog stands on: the file-open dialog (filter, cancel,
// failure, the real QFileDialog), the window order, and twips.

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QPointer>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <functional>
#include <memory>

#include "entrydialog/commondialog.h"
#include "entrydialog/frmadd.h"
#include "entrydialog/windoworder.h"
#include "fakes.h"
#include "testsupport/corpus.h"

class ServicesTest : public QObject {
    Q_OBJECT

  private slots:
    void nameFiltersFromTheFilterText();
    void showOpenReportsChoiceCancelAndFailure();
    void realFileDialogOffersOnlyMdbFiles();
    void realFileDialogCancelled();
    void windowOrderLeavesTheTopmostLayer();
    void windowOrderMovesAndSizesUnlessTold();
    void twipsFollowTheScreensDotsPerInch();
};

void ServicesTest::nameFiltersFromTheFilterText() {
    QCOMPARE(QtNameFilters(QString::fromLatin1(kMdbFilter)),
             QStringList{QStringLiteral("Microsoft Office Access Database (*.mdb *.accdb)")});
    QCOMPARE(QtNameFilters(QStringLiteral("Databases|*.mdb;*.accdb|All files|*.*")),
             (QStringList{QStringLiteral("Databases (*.mdb *.accdb)"),
                          QStringLiteral("All files (*.*)")}));
    QCOMPARE(QtNameFilters(QString()), QStringList{});
    QCOMPARE(QtNameFilters(QStringLiteral("dangling description")), QStringList{});
}

void ServicesTest::showOpenReportsChoiceCancelAndFailure() {
    ScriptedPicker picker;
    CommonDialog dialog(picker);
    dialog.Filter = QString::fromLatin1(kMdbFilter);
    dialog.Flags = cdlOFNHideReadOnly;
    picker.outcomes = {ScriptedPicker::Chosen(QStringLiteral("/x/a.mdb")),
                       ScriptedPicker::Cancelled(), ScriptedPicker::Failed(QStringLiteral("boom")),
                       ScriptedPicker::Failed(QString())};

    dialog.ShowOpen(nullptr);
    QCOMPARE(dialog.FileName, QStringLiteral("/x/a.mdb"));

    int number = 0;
    try {
        dialog.ShowOpen(nullptr);
    } catch (const CommonDialogError& e) {
        number = e.Number();
    }
    QCOMPARE(number, cdlCancel);
    QCOMPARE(dialog.FileName, QStringLiteral("/x/a.mdb"));

    QString description;
    try {
        dialog.ShowOpen(nullptr);
    } catch (const CommonDialogError& e) {
        number = e.Number();
        description = e.Description();
    }
    QVERIFY(number != cdlCancel);
    QCOMPARE(description, QStringLiteral("boom"));

    description.clear();
    try {
        dialog.ShowOpen(nullptr);
    } catch (const CommonDialogError& e) {
        description = e.Description();
    }
    QVERIFY(!description.isEmpty());  // a failure always says something
    QCOMPARE(picker.requests[1].fileName, QStringLiteral("/x/a.mdb"));
}

namespace {

// Copies one corpus database next to a file of another kind; empty when the
// corpus is absent.
std::filesystem::path MakeFolder(const testsupport::ScratchDir& scratch) {
    const auto files = testsupport::corpus_files("jet4");
    if (files.empty())
        return {};
    const auto copy = testsupport::copy_to_scratch(files.front().path, scratch.path());
    std::filesystem::copy_file(copy, scratch.path() / "notes.txt");
    return copy;
}

// Waits for a file dialog to appear, then hands it to `act`, which only
// records and closes it. `act` is repeated until the dialog has gone: a file
// dialog may refuse its first accept while its folder is still being read.
// Should it stay open, or none appear, the dialog (or any modal window) is
// closed so that the test ends with a failure instead of hanging.
void WhenFileDialogShows(std::function<void(QFileDialog*)> act) {
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, tries, act] {
        const bool give_up = ++*tries > 200;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<QFileDialog*>(w); dialog && dialog->isVisible()) {
                if (give_up)
                    dialog->reject();
                else
                    act(dialog);
                if (!dialog->isVisible()) {
                    timer->stop();
                    timer->deleteLater();
                }
                return;
            }
        }
        if (give_up) {
            timer->stop();
            timer->deleteLater();
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        }
    });
    timer->start(50);
}

}  // namespace

void ServicesTest::realFileDialogOffersOnlyMdbFiles() {
    testsupport::ScratchDir scratch;
    const std::filesystem::path database = MakeFolder(scratch);
    if (database.empty())
        QSKIP("corpus absent");
    const QString path = QString::fromStdString(database.string());

    QStringList filters;
    QString fileTypeShown;
    QString mode;
    // Records what the dialog shows, then closes it. (Choosing a file is the
    // scripted picker's part above: a real dialog under the offscreen platform
    // refuses an accept from code while its folder model is still loading.)
    WhenFileDialogShows([&](QFileDialog* dialog) {
        dialog->setDirectory(QFileInfo(path).absolutePath());
        filters = dialog->nameFilters();
        if (auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo")))
            fileTypeShown = combo->currentText();
        mode = dialog->fileMode() == QFileDialog::ExistingFile ? QStringLiteral("existing")
                                                               : QStringLiteral("other");
        dialog->reject();
    });
    QtFilePicker picker;
    CommonDialog open(picker);
    open.Filter = QString::fromLatin1(kMdbFilter);
    open.Flags = cdlOFNHideReadOnly;
    int number = 0;
    try {
        open.ShowOpen(nullptr);
    } catch (const CommonDialogError& e) {
        number = e.Number();
    }

    QCOMPARE(number, cdlCancel);
    QCOMPARE(filters,
             QStringList{QStringLiteral("Microsoft Office Access Database (*.mdb *.accdb)")});
    QCOMPARE(fileTypeShown, QStringLiteral("Microsoft Office Access Database (*.mdb *.accdb)"));
    QCOMPARE(mode, QStringLiteral("existing"));
    QVERIFY(open.FileName.isEmpty());
}

void ServicesTest::realFileDialogCancelled() {
    QPointer<QWidget> seen;
    WhenFileDialogShows([&](QFileDialog* dialog) {
        seen = dialog;
        dialog->reject();
    });
    QtFilePicker picker;
    CommonDialog open(picker);
    open.Filter = QString::fromLatin1(kMdbFilter);
    open.FileName = QStringLiteral("/kept.mdb");
    int number = 0;
    try {
        open.ShowOpen(nullptr);
    } catch (const CommonDialogError& e) {
        number = e.Number();
    }
    QCOMPARE(number, cdlCancel);
    QCOMPARE(open.FileName, QStringLiteral("/kept.mdb"));
    QVERIFY(seen.isNull());  // the dialog is gone
}

void ServicesTest::windowOrderLeavesTheTopmostLayer() {
    QWidget window(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
    window.setGeometry(40, 50, 200, 100);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QRect before = window.geometry();

    QVERIFY(SetWindowPos(&window, WindowInsertAfter::HWND_NOTOPMOST, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE));
    QVERIFY(!window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(window.isVisible());
    QCOMPARE(window.geometry(), before);

    // Asked again, nothing changes.
    QVERIFY(SetWindowPos(&window, WindowInsertAfter::HWND_NOTOPMOST, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE));
    QCOMPARE(window.geometry(), before);

    QVERIFY(SetWindowPos(&window, WindowInsertAfter::HWND_TOPMOST, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE));
    QVERIFY(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(window.isVisible());

    // A hidden window stays hidden.
    QWidget hidden(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
    QVERIFY(SetWindowPos(&hidden, WindowInsertAfter::HWND_NOTOPMOST, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE));
    QVERIFY(!hidden.isVisible());
    QVERIFY(!hidden.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(!SetWindowPos(nullptr, WindowInsertAfter::HWND_TOP, 0, 0, 0, 0, 0));
}

void ServicesTest::windowOrderMovesAndSizesUnlessTold() {
    QWidget window;
    window.setGeometry(10, 20, 100, 60);
    QVERIFY(SetWindowPos(&window, WindowInsertAfter::HWND_TOP, 30, 40, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER));
    QCOMPARE(window.pos(), QPoint(30, 40));
    QCOMPARE(window.size(), QSize(100, 60));
    QVERIFY(SetWindowPos(&window, WindowInsertAfter::HWND_TOP, 0, 0, 120, 70, SWP_NOMOVE));
    QCOMPARE(window.pos(), QPoint(30, 40));
    QCOMPARE(window.size(), QSize(120, 70));
}

void ServicesTest::twipsFollowTheScreensDotsPerInch() {
    QCOMPARE(TwipsToPixels(6210, 96), 414);
    QCOMPARE(TwipsToPixels(2085, 96), 139);
    QCOMPARE(TwipsToPixels(285, 96), 19);
    QCOMPARE(TwipsToPixels(6210, 144), 621);
    QCOMPARE(TwipsToPixels(255, 144), 26);  // 25.5 rounds up
    QCOMPARE(TwipsToPixels(0, 120), 0);
}

QTEST_MAIN(ServicesTest)
#include "tst_services.moc"
