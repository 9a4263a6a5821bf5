// The entry dialog driven as the main window drives it: fill, show, press.
// The window is shown without its own event loop so that the tests can
// press keys and buttons; two smoke tests at the end use the real modal
// showing.

#include <QApplication>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QtTest>

#include "entrydialog/frmadd.h"
#include "fakes.h"

namespace {

const QString kDb = QStringLiteral("/data/north.mdb");

struct Rig {
    RecordingBoxes boxes;
    RecordingSink sink{boxes};
    ScriptedFileSystem::State files;
    ScriptedPicker picker;
    frmAdd form{sink, boxes, ScriptedFileSystem::Factory(files), nullptr, &picker};

    Rig() { files.files.insert(kDb); }

    // What the main window does before the modal showing, then a showing that
    // returns at once; the activation runs before the test goes on.
    void Open(bool bAdd, const QString& caption, const QString& file, const QString& password) {
        form.m_bAdd = bAdd;
        form.txtCaption()->setText(caption);
        form.txtFile()->setText(file);
        form.txtPasswd()->setText(password);
        form.window()->show();
        QCoreApplication::processEvents();
    }
    bool Shown() { return form.IsLoaded() && form.window()->isVisible(); }
};

}  // namespace

class FrmAddTest : public QObject {
    Q_OBJECT

  private slots:
    void captionIsTrimmedAndBlankCaptionIsRefused();
    void notFoundMessageUsesThePathAsTyped_data();
    void notFoundMessageUsesThePathAsTyped();
    void checksRunInOrderAndStopAtTheFirstFailure();
    void fileServiceFailureIsReportedAndTheDialogStays();
    void addModeHandsTheTargetToAddList();
    void editModeDisablesAndGreysTheCaption();
    void refusedTargetKeepsTheDialogOpenWithTheTypedValues();
    void escapeCancelsEnterPressesOkCloseBoxLeavesCancelFalse();
    void cancelIsResetWhenTheDialogIsLoadedAgain();
    void filePickerResultsAndFailures();
    void filePickerRemembersTheFileOnlyWhileTheDialogIsOpen();
    void keyboardFocusOrderAndBrowseByKeyboard();
    void layoutTitleAndPasswordMask();
    void holderMakesOneDialogOnFirstUse();
    void realModalShowingClosedByEscape();
    void realModalShowingClosedByOk();
    void realMessageBoxOverTheModalDialog();
    void centredOverItsOwner();
};

void FrmAddTest::captionIsTrimmedAndBlankCaptionIsRefused() {
    {
        Rig rig;
        rig.Open(true, QStringLiteral("   "), kDb, QString());
        rig.form.cmdOK_Click();
        QCOMPARE(rig.form.txtCaption()->text(), QString());
        QCOMPARE(rig.boxes.exclamations, QStringList{QStringLiteral("Please enter a caption.")});
        QVERIFY(rig.files.asked.isEmpty());  // the path is not examined
        QCOMPARE(rig.files.made, 0);
        QVERIFY(rig.sink.calls.isEmpty());
        QVERIFY(rig.Shown());
    }
    {
        Rig rig;
        rig.Open(true, QStringLiteral("  North wing  "), kDb, QStringLiteral("pw"));
        rig.form.cmdOK_Click();
        QVERIFY(rig.boxes.exclamations.isEmpty());
        QCOMPARE(rig.sink.calls.size(), 1);
        QCOMPARE(rig.sink.calls[0].strCaption, QStringLiteral("North wing"));
        QVERIFY(!rig.form.IsLoaded());
    }
    {
        // Tabs and full-width blanks around a caption go as well: a section
        // name with them would not read back as typed.
        Rig rig;
        rig.sink.answers = {false};
        rig.Open(true, QStringLiteral("\t\u3000North "), kDb, QString());
        rig.form.cmdOK_Click();
        QCOMPARE(rig.form.txtCaption()->text(), QStringLiteral("North"));
        QCOMPARE(rig.sink.calls[0].strCaption, QStringLiteral("North"));
    }
}

void FrmAddTest::notFoundMessageUsesThePathAsTyped_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty") << QString() << QStringLiteral("'' is not found.");
    QTest::newRow("leading blank")
        << QStringLiteral(" ") + kDb << QStringLiteral("' /data/north.mdb' is not found.");
    QTest::newRow("trailing blank")
        << kDb + QStringLiteral(" ") << QStringLiteral("'/data/north.mdb ' is not found.");
}

void FrmAddTest::notFoundMessageUsesThePathAsTyped() {
    QFETCH(QString, path);
    QFETCH(QString, message);
    Rig rig;
    rig.Open(true, QStringLiteral("North"), path, QString());
    rig.form.cmdOK_Click();
    QCOMPARE(rig.files.asked, QStringList{path});
    QCOMPARE(rig.boxes.exclamations, QStringList{message});
    QCOMPARE(rig.form.txtFile()->text(), path);  // not trimmed either
    QVERIFY(rig.sink.calls.isEmpty());
    QVERIFY(rig.Shown());
    QCOMPARE(rig.files.made, 1);
    QCOMPARE(rig.files.alive, 0);  // the file service lives for one press
}

void FrmAddTest::checksRunInOrderAndStopAtTheFirstFailure() {
    Rig rig;
    rig.Open(true, QString(), QStringLiteral("/nowhere.mdb"), QString());
    QWidget* focused = rig.form.window()->focusWidget();

    rig.form.cmdOK_Click();  // both checks would fail: only the first speaks
    QCOMPARE(rig.boxes.exclamations, QStringList{QStringLiteral("Please enter a caption.")});
    QVERIFY(rig.files.asked.isEmpty());

    rig.form.txtCaption()->setText(QStringLiteral("North"));
    rig.form.cmdOK_Click();
    QCOMPARE(rig.boxes.exclamations.size(), 2);
    QCOMPARE(rig.boxes.exclamations[1], QStringLiteral("'/nowhere.mdb' is not found."));
    QVERIFY(rig.sink.calls.isEmpty());
    QCOMPARE(rig.form.window()->focusWidget(), focused);  // no check moves the focus

    rig.form.txtFile()->setText(kDb);
    rig.form.cmdOK_Click();
    QCOMPARE(rig.boxes.exclamations.size(), 2);
    QCOMPARE(rig.sink.calls.size(), 1);
    QVERIFY(!rig.form.IsLoaded());
}

void FrmAddTest::fileServiceFailureIsReportedAndTheDialogStays() {
    RecordingBoxes boxes;
    RecordingSink sink{boxes};
    ScriptedPicker picker;
    int mode = 0;
    frmAdd form(
        sink, boxes,
        [&mode]() -> std::unique_ptr<FileSystem> {
            if (mode == 0)
                throw FileError(QStringLiteral("The file service could not start."));
            return nullptr;
        },
        nullptr, &picker);
    form.m_bAdd = true;
    form.txtCaption()->setText(QStringLiteral("North"));
    form.txtFile()->setText(kDb);
    form.window()->show();

    form.cmdOK_Click();
    QCOMPARE(boxes.exclamations, QStringList{QStringLiteral("The file service could not start.")});
    mode = 1;
    form.cmdOK_Click();
    QCOMPARE(boxes.exclamations.size(), 2);
    QVERIFY(boxes.exclamations[1].contains(kDb));  // names the file it could not check
    QVERIFY(sink.calls.isEmpty());
    QVERIFY(form.IsLoaded() && form.window()->isVisible());
}

void FrmAddTest::addModeHandsTheTargetToAddList() {
    Rig rig;
    rig.Open(true, QStringLiteral("North"), kDb, QStringLiteral("s3cret"));
    QVERIFY(rig.form.txtCaption()->isEnabled());
    QCOMPARE(rig.form.txtCaption()->palette().color(QPalette::Base),
             QApplication::palette(rig.form.txtCaption()).color(QPalette::Active, QPalette::Base));
    QPointer<QDialog> window = rig.form.window();
    rig.form.cmdOK()->click();
    QCOMPARE(rig.sink.calls.size(), 1);
    const SinkCall& call = rig.sink.calls[0];
    QVERIFY(call.bAdd);
    QCOMPARE(call.strCaption, QStringLiteral("North"));
    QCOMPARE(call.strFile, kDb);
    QCOMPARE(call.strPassword, QStringLiteral("s3cret"));
    QVERIFY(call.bEnable);
    QVERIFY(!rig.form.IsLoaded());
    QVERIFY(!rig.form.Cancel());
    QVERIFY(!window->isVisible());

    // The window goes with the next loading; the mode stays as it was set.
    QVERIFY(rig.form.m_bAdd);
    rig.form.txtCaption();
    QVERIFY(window.isNull());
}

void FrmAddTest::editModeDisablesAndGreysTheCaption() {
    Rig rig;
    rig.Open(false, QStringLiteral(" North "), kDb, QStringLiteral("pw"));
    QLineEdit* caption = rig.form.txtCaption();
    QVERIFY(!caption->isEnabled());
    const QPalette system = QApplication::palette(caption);
    QCOMPARE(caption->palette().color(QPalette::Disabled, QPalette::Base),
             system.color(QPalette::Active, QPalette::Button));
    QCOMPARE(rig.form.window()->windowTitle(), QStringLiteral("Add"));
    QCOMPARE(rig.form.txtFile()->text(), kDb);
    QCOMPARE(rig.form.txtPasswd()->text(), QStringLiteral("pw"));

    // The caption cannot be typed into.
    QTest::keyClicks(caption, QStringLiteral("x"));
    QCOMPARE(caption->text(), QStringLiteral(" North "));

    rig.form.txtFile()->setText(kDb);
    rig.form.cmdOK_Click();
    QCOMPARE(rig.sink.calls.size(), 1);
    QVERIFY(!rig.sink.calls[0].bAdd);
    QCOMPARE(rig.sink.calls[0].strCaption, QStringLiteral("North"));
    QCOMPARE(rig.sink.calls[0].strPassword, QStringLiteral("pw"));
    QVERIFY(!rig.form.IsLoaded());

    // Add after edit: the caption is open again.
    rig.Open(true, QString(), QString(), QString());
    QVERIFY(rig.form.txtCaption()->isEnabled());
}

void FrmAddTest::refusedTargetKeepsTheDialogOpenWithTheTypedValues() {
    for (const bool bAdd : {true, false}) {
        Rig rig;
        rig.sink.answers = {false};
        rig.Open(bAdd, QStringLiteral("North "), kDb, QStringLiteral("pw"));
        rig.form.cmdOK_Click();
        QCOMPARE(rig.sink.calls.size(), 1);
        QCOMPARE(rig.boxes.exclamations.size(), 1);  // the list's own message only
        QVERIFY(rig.Shown());
        QCOMPARE(rig.form.txtCaption()->text(), QStringLiteral("North"));
        QCOMPARE(rig.form.txtFile()->text(), kDb);
        QCOMPARE(rig.form.txtPasswd()->text(), QStringLiteral("pw"));
        QVERIFY(!rig.form.Cancel());

        if (bAdd)
            rig.form.txtCaption()->setText(QStringLiteral("South"));
        rig.form.cmdOK_Click();
        QCOMPARE(rig.sink.calls.size(), 2);
        QCOMPARE(rig.sink.calls[1].strCaption,
                 bAdd ? QStringLiteral("South") : QStringLiteral("North"));
        QVERIFY(!rig.form.IsLoaded());
    }
}

void FrmAddTest::escapeCancelsEnterPressesOkCloseBoxLeavesCancelFalse() {
    {
        Rig rig;
        rig.Open(true, QStringLiteral("North"), kDb, QString());
        QTest::keyClick(rig.form.txtFile(), Qt::Key_Escape);
        QVERIFY(rig.form.Cancel());
        QVERIFY(!rig.form.IsLoaded());
        QVERIFY(rig.sink.calls.isEmpty());
    }
    {
        Rig rig;
        rig.Open(true, QStringLiteral("North"), kDb, QString());
        rig.form.cmdCancel()->click();
        QVERIFY(rig.form.Cancel());
        QVERIFY(!rig.form.IsLoaded());
        QVERIFY(rig.sink.calls.isEmpty());
    }
    {
        Rig rig;
        rig.Open(true, QStringLiteral("North"), kDb, QString());
        QVERIFY(rig.form.window()->close());  // the close box
        QVERIFY(!rig.form.Cancel());
        QVERIFY(!rig.form.IsLoaded());
        QVERIFY(rig.sink.calls.isEmpty());
        QVERIFY(rig.boxes.exclamations.isEmpty());
    }
    // Enter in each of the three fields acts as OK.
    for (int field = 0; field < 3; ++field) {
        Rig rig;
        rig.Open(true, QStringLiteral("North"), kDb, QStringLiteral("pw"));
        QLineEdit* target = field == 0   ? rig.form.txtCaption()
                            : field == 1 ? rig.form.txtFile()
                                         : rig.form.txtPasswd();
        QTest::keyClick(target, field == 2 ? Qt::Key_Enter : Qt::Key_Return);
        QTRY_COMPARE(rig.sink.calls.size(), 1);
        QVERIFY(!rig.form.IsLoaded());
        QVERIFY(!rig.form.Cancel());
    }
    {
        // Enter with a failing check: the message, and the dialog stays.
        Rig rig;
        rig.Open(true, QString(), kDb, QString());
        QTest::keyClick(rig.form.txtFile(), Qt::Key_Return);
        QTRY_COMPARE(rig.boxes.exclamations.size(), 1);
        QVERIFY(rig.Shown());
    }
}

void FrmAddTest::cancelIsResetWhenTheDialogIsLoadedAgain() {
    Rig rig;
    rig.Open(true, QString(), QString(), QString());
    rig.form.cmdCancel_Click();
    QVERIFY(rig.form.Cancel());
    QVERIFY(rig.form.m_bAdd);  // the flags outlive the window
    rig.form.m_bAdd = false;
    QVERIFY(rig.form.Cancel());
    rig.form.txtCaption()->setText(QStringLiteral("North"));  // loads: Form_Load
    QVERIFY(!rig.form.Cancel());
    QVERIFY(!rig.form.m_bAdd);
    QCOMPARE(rig.form.txtFile()->text(), QString());  // a fresh window
}

void FrmAddTest::filePickerResultsAndFailures() {
    Rig rig;
    rig.Open(true, QStringLiteral("North"), QStringLiteral("/old.mdb"), QString());
    rig.picker.outcomes = {ScriptedPicker::Cancelled(),
                           ScriptedPicker::Failed(QStringLiteral("The picker broke.")),
                           ScriptedPicker::Chosen(QStringLiteral("/data/chosen.mdb"))};

    rig.form.cmdOpen()->click();
    QCOMPARE(rig.form.txtFile()->text(), QStringLiteral("/old.mdb"));
    QVERIFY(rig.boxes.exclamations.isEmpty());

    rig.form.cmdOpen()->click();
    QCOMPARE(rig.form.txtFile()->text(), QStringLiteral("/old.mdb"));
    QCOMPARE(rig.boxes.exclamations, QStringList{QStringLiteral("The picker broke.")});

    rig.form.cmdOpen()->click();
    QCOMPARE(rig.form.txtFile()->text(), QStringLiteral("/data/chosen.mdb"));
    QCOMPARE(rig.form.txtCaption()->text(), QStringLiteral("North"));
    QCOMPARE(rig.boxes.exclamations.size(), 1);

    QCOMPARE(rig.picker.requests.size(), 3);
    const OpenRequest& request = rig.picker.requests[0];
    QCOMPARE(request.nameFilters,
             QStringList{QStringLiteral("Microsoft Office Access Database (*.mdb *.accdb)")});
    QVERIFY(request.flags & cdlOFNHideReadOnly);
    QCOMPARE(rig.picker.parents[0], rig.form.window());
    QVERIFY(rig.Shown());
}

void FrmAddTest::filePickerRemembersTheFileOnlyWhileTheDialogIsOpen() {
    Rig rig;
    rig.Open(true, QString(), QString(), QString());
    rig.picker.outcomes = {ScriptedPicker::Chosen(QStringLiteral("/a.mdb")),
                           ScriptedPicker::Cancelled(), ScriptedPicker::Cancelled()};
    rig.form.cmdOpen_Click();
    rig.form.cmdOpen_Click();
    QCOMPARE(rig.picker.requests[0].fileName, QString());
    QCOMPARE(rig.picker.requests[1].fileName, QStringLiteral("/a.mdb"));
    QCOMPARE(rig.form.dlgOpen()->FileName, QStringLiteral("/a.mdb"));  // cancel keeps it

    rig.form.cmdCancel_Click();
    rig.Open(true, QString(), QString(), QString());
    rig.form.cmdOpen_Click();
    QCOMPARE(rig.picker.requests[2].fileName, QString());
    QCOMPARE(rig.picker.requests[2].flags, cdlOFNHideReadOnly);  // set once per loading
}

void FrmAddTest::keyboardFocusOrderAndBrowseByKeyboard() {
    Rig rig;
    rig.picker.outcomes = {ScriptedPicker::Chosen(QStringLiteral("/by/keyboard.mdb"))};
    rig.Open(true, QString(), QString(), QString());
    QDialog* window = rig.form.window();
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));
    QCOMPARE(QApplication::focusWidget(), rig.form.cmdOK());

    const QList<QWidget*> expected = {rig.form.cmdCancel(), rig.form.txtCaption(),
                                      rig.form.txtFile(),   rig.form.cmdOpen(),
                                      rig.form.txtPasswd(), rig.form.cmdOK()};
    for (QWidget* next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }

    // Type a caption, browse with Space on "...", and finish with Enter.
    rig.form.txtCaption()->setFocus();
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("North"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), rig.form.cmdOpen());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(rig.form.txtFile()->text(), QStringLiteral("/by/keyboard.mdb"));
    rig.files.files.insert(QStringLiteral("/by/keyboard.mdb"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), rig.form.txtPasswd());
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("pw"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTRY_COMPARE(rig.sink.calls.size(), 1);
    QCOMPARE(rig.sink.calls[0].strCaption, QStringLiteral("North"));
    QCOMPARE(rig.sink.calls[0].strFile, QStringLiteral("/by/keyboard.mdb"));
    QCOMPARE(rig.sink.calls[0].strPassword, QStringLiteral("pw"));

    // In edit mode Tab passes over the disabled caption.
    rig.Open(false, QStringLiteral("North"), kDb, QString());
    window = rig.form.window();
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));
    QCOMPARE(QApplication::focusWidget(), rig.form.cmdOK());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), rig.form.txtFile());
}

void FrmAddTest::layoutTitleAndPasswordMask() {
    Rig rig;
    rig.Open(true, QString(), QString(), QStringLiteral("abc d"));
    const double dpi = rig.form.window()->screen()->logicalDotsPerInchX();
    if (!qFuzzyCompare(dpi, 96.0))
        QSKIP("the pixel table holds at 96 dots per inch");

    QDialog* window = rig.form.window();
    QCOMPARE(window->windowTitle(), QStringLiteral("Add"));
    QCOMPARE(window->size(), QSize(414, 139));
    QCOMPARE(window->minimumSize(), window->maximumSize());
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QCOMPARE(window->windowModality(), Qt::ApplicationModal);

    QCOMPARE(rig.form.fraAdd()->geometry(), QRect(8, 4, 399, 97));
    QCOMPARE(rig.form.fraAdd()->title(), QString());
    const char* const captions[3] = {"Caption : ", "MDB file path : ", "Password : "};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(rig.form.lblAdd(i)->text(), QString::fromLatin1(captions[i]));
        QCOMPARE(rig.form.lblAdd(i)->geometry(), QRect(6, 20 + 24 * i, 87, 17));
        QVERIFY(rig.form.lblAdd(i)->alignment() & Qt::AlignRight);
        QCOMPARE(rig.form.lblAdd(i)->parentWidget(), rig.form.fraAdd());
        // The whole caption shows, whatever the desktop's font.
        const QLabel* label = rig.form.lblAdd(i);
        QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(),
                 captions[i]);
    }
    QCOMPARE(rig.form.txtCaption()->geometry(), QRect(94, 18, 289, 18));
    QCOMPARE(rig.form.txtFile()->geometry(), QRect(94, 42, 265, 18));
    QCOMPARE(rig.form.cmdOpen()->geometry(), QRect(364, 42, 19, 17));
    QCOMPARE(rig.form.cmdOpen()->text(), QStringLiteral("..."));
    QCOMPARE(rig.form.txtPasswd()->geometry(), QRect(94, 66, 289, 18));
    QCOMPARE(rig.form.cmdOK()->geometry(), QRect(236, 108, 81, 25));
    QCOMPARE(rig.form.cmdOK()->text(), QStringLiteral("OK"));
    QVERIFY(rig.form.cmdOK()->isDefault());
    QCOMPARE(rig.form.cmdCancel()->geometry(), QRect(326, 108, 81, 25));
    QCOMPARE(rig.form.cmdCancel()->text(), QStringLiteral("Cancel"));
    QCOMPARE(rig.form.cmdCancel()->parentWidget(), window);

    QLineEdit* passwd = rig.form.txtPasswd();
    QCOMPARE(passwd->echoMode(), QLineEdit::Password);
    QCOMPARE(passwd->displayText(), QStringLiteral("*****"));
    QCOMPARE(passwd->text(), QStringLiteral("abc d"));
}

void FrmAddTest::holderMakesOneDialogOnFirstUse() {
    RecordingBoxes boxes;
    RecordingSink sink{boxes};
    ScriptedFileSystem::State files;
    ScriptedPicker picker;
    frmAddHolder holder(sink, boxes, ScriptedFileSystem::Factory(files), nullptr, &picker);
    QVERIFY(!holder.Created());
    frmAdd& first = holder.Get();
    QVERIFY(holder.Created());
    QVERIFY(!first.IsLoaded());  // made, but its window waits for the first field access
    first.m_bAdd = true;
    first.cmdCancel_Click();  // loads, then unloads
    QCOMPARE(&holder.Get(), &first);
    QVERIFY(holder.Get().Cancel());
    QVERIFY(holder.Get().m_bAdd);
}

void FrmAddTest::realModalShowingClosedByEscape() {
    Rig rig;
    rig.form.m_bAdd = true;
    rig.form.txtCaption()->setText(QStringLiteral("North"));
    rig.form.txtFile()->setText(kDb);
    rig.form.txtPasswd()->setText(QString());
    QPointer<QWidget> modal;
    bool wasVisible = false;
    // The closing callback only records and closes; the checks follow exec().
    QTimer::singleShot(0, [&] {
        modal = QApplication::activeModalWidget();
        wasVisible = modal != nullptr && modal->isVisible();
        QWidget* target = modal != nullptr ? modal.data() : rig.form.window();
        QTest::keyClick(target, Qt::Key_Escape);
    });
    rig.form.ShowModal();
    QVERIFY(wasVisible);
    QCOMPARE(modal.data(), nullptr);  // destroyed once the showing returned
    QVERIFY(rig.form.Cancel());
    QVERIFY(!rig.form.IsLoaded());
    QVERIFY(rig.sink.calls.isEmpty());
}

void FrmAddTest::realModalShowingClosedByOk() {
    Rig rig;
    rig.sink.answers = {false, true};
    rig.form.m_bAdd = true;
    rig.form.txtCaption()->setText(QStringLiteral("Dup"));
    rig.form.txtFile()->setText(kDb);
    rig.form.txtPasswd()->setText(QString());
    int presses = 0;
    QTimer::singleShot(0, [&] {
        ++presses;
        rig.form.cmdOK()->click();  // refused: the dialog stays
        if (rig.form.IsLoaded()) {
            ++presses;
            rig.form.txtCaption()->setText(QStringLiteral("North"));
            rig.form.cmdOK()->click();
        }
        if (rig.form.IsLoaded())
            rig.form.cmdCancel()->click();  // never leave the loop hanging
    });
    rig.form.ShowModal();
    QCOMPARE(presses, 2);
    QCOMPARE(rig.sink.calls.size(), 2);
    QCOMPARE(rig.sink.calls[1].strCaption, QStringLiteral("North"));
    QVERIFY(!rig.form.Cancel());
    QVERIFY(!rig.form.IsLoaded());
}

void FrmAddTest::realMessageBoxOverTheModalDialog() {
    ScriptedFileSystem::State files;
    QtMessageBoxes boxes;
    RecordingSink sink{boxes};
    ScriptedPicker picker;
    frmAdd form(sink, boxes, ScriptedFileSystem::Factory(files), nullptr, &picker);
    form.m_bAdd = true;
    form.txtCaption()->setText(QStringLiteral("  "));
    form.txtFile()->setText(kDb);
    form.txtPasswd()->setText(QString());

    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool bDialogStillShown = false;
    // Press OK inside the dialog's loop; the box it opens is recorded and
    // closed by a second timer, then Escape leaves the dialog.
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                title = box->windowTitle();
                text = box->text();
                icon = box->icon();
                box->accept();
            }
        });
        form.cmdOK()->click();  // returns when the box has closed
        bDialogStillShown = form.IsLoaded() && form.window()->isVisible();
        QTest::keyClick(form.window(), Qt::Key_Escape);
    });
    form.ShowModal();
    QCOMPARE(title, QStringLiteral("Tarnwick"));
    QCOMPARE(text, QStringLiteral("Please enter a caption."));
    QCOMPARE(icon, QMessageBox::Warning);
    QVERIFY(bDialogStillShown);
    QVERIFY(form.Cancel());
    QVERIFY(sink.calls.isEmpty());
}

void FrmAddTest::centredOverItsOwner() {
    QWidget owner;
    owner.setGeometry(100, 120, 600, 400);
    owner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&owner));
    RecordingBoxes boxes;
    RecordingSink sink{boxes};
    ScriptedFileSystem::State files;
    ScriptedPicker picker;
    frmAdd form(sink, boxes, ScriptedFileSystem::Factory(files), &owner, &picker);
    form.m_bAdd = true;
    form.txtCaption()->setText(QString());
    form.window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.window()));
    const QPoint offset = form.window()->frameGeometry().center() - owner.frameGeometry().center();
    QVERIFY2(offset.manhattanLength() <= 4,
             qPrintable(QStringLiteral("off by %1,%2").arg(offset.x()).arg(offset.y())));
    QVERIFY(form.window()->isWindow());
    QCOMPARE(form.window()->parentWidget(), &owner);
}

QTEST_MAIN(FrmAddTest)
#include "tst_frmadd.moc"
