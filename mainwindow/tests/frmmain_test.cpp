// frmMain: the target list and its file facts, the settings file at load and
// close, the list commands, the window shell and the wiring of "&Optimize".

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "mainwindow/frmmain.h"
#include "mainwindow/infotext.h"
#include "platform/messagebox.h"
#include "testsupport/corpus.h"

namespace {

class RecordingBoxes : public MessageBoxes {
  public:
    void Exclamation(const QString& text) override { warnings.append(text); }
    void Plain(const QString& text) override { plain.append(text); }
    QStringList warnings;
    QStringList plain;
};

// A scripted entry dialog: each showing runs the next step of the script
// with the sink, the way the dialog's OK / Cancel would.
class ScriptedDialog : public EntryDialogPort {
  public:
    struct Showing {
        bool bAdd = false;
        QString caption, file, password;
    };
    using Step = std::function<bool(TargetSink&, const Showing&)>;  // returns Cancel

    explicit ScriptedDialog(TargetSink& sink) : m_sink(sink) {}

    void SetAdd(bool bAdd) override { m_current.bAdd = bAdd; }
    void SetFields(const QString& c, const QString& f, const QString& p) override {
        m_current.caption = c;
        m_current.file = f;
        m_current.password = p;
    }
    void ShowModal() override {
        showings.push_back(m_current);
        m_bCancel = false;
        if (!steps.empty()) {
            Step step = steps.front();
            steps.erase(steps.begin());
            m_bCancel = step(m_sink, m_current);
        }
    }
    bool Cancel() const override { return m_bCancel; }

    std::vector<Step> steps;
    std::vector<Showing> showings;

  private:
    TargetSink& m_sink;
    Showing m_current;
    bool m_bCancel = false;
};

// Presses OK with these values: the sink is called, like the dialog's OK,
// until it accepts (a refusal keeps the dialog open; the next value is tried).
ScriptedDialog::Step AddStep(QStringList captions, QString file, QString password = {}) {
    return [=](TargetSink& sink, const ScriptedDialog::Showing&) {
        for (const QString& caption : captions) {
            if (sink.AddList(caption, file, password, true)) {
                return false;
            }
        }
        return true;  // the user gave up and pressed Cancel
    };
}

ScriptedDialog::Step CancelStep() {
    return [](TargetSink&, const ScriptedDialog::Showing&) { return true; };
}

ScriptedDialog::Step CloseBoxStep() {
    return [](TargetSink&, const ScriptedDialog::Showing&) { return false; };
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

}  // namespace

class frmMainTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    RecordingBoxes m_boxes;
    ScriptedDialog* m_dialog = nullptr;

    QString Ini() const { return m_dir->filePath(QStringLiteral("Tarnwick.ini")); }

    // A database-like file of `size` bytes in the scratch folder.
    QString MakeFile(const QString& name, qint64 size) {
        const QString path = m_dir->filePath(name);
        WriteAll(path, QByteArray(static_cast<qsizetype>(size), 'x'));
        return path;
    }

    std::unique_ptr<frmMain> NewForm(frmMainServices services = {}, bool realDialog = false) {
        services.boxes = &m_boxes;
        services.appDir = m_dir->path();
        if (!realDialog) {
            services.entryDialogs = [this](TargetSink& sink, MessageBoxes&) {
                auto dialog = std::make_unique<ScriptedDialog>(sink);
                m_dialog = dialog.get();
                for (auto& step : pendingSteps) {
                    dialog->steps.push_back(step);
                }
                pendingSteps.clear();
                return dialog;
            };
        }
        if (!services.sleep) {
            services.sleep = [](int) {};
        }
        return std::make_unique<frmMain>(std::move(services));
    }

    static void SelectList(frmMain& form, int position) { form.SelectList(position); }
    static QString GetAppPath(frmMain& form) { return form.GetAppPath(); }
    static QStringList Values(frmMain& form) {
        return {form.lblInfoVal[0]->text(), form.lblInfoVal[1]->text(), form.lblInfoVal[2]->text()};
    }
    static QStringList Captions(frmMain& form) {
        QStringList captions;
        for (int i = 1; i <= form.lstFile->Items().Count(); ++i) {
            captions.append(form.lstFile->Items().Item(i).Key());
        }
        return captions;
    }
    static int SelectedIndex(frmMain& form) {
        ListItem* item = form.lstFile->SelectedItem();
        return item ? item->Index() : 0;
    }

    // A form holding `count` targets "T1".."Tn" on real files, none selected.
    std::unique_ptr<frmMain> FormWithTargets(int count) {
        auto form = NewForm();
        for (int i = 1; i <= count; ++i) {
            const QString path = MakeFile(QStringLiteral("t%1.mdb").arg(i), 100 * i);
            form->AddList(QStringLiteral("T%1").arg(i), path, QString(), true);
        }
        return form;
    }

    std::vector<ScriptedDialog::Step> pendingSteps;

    // Drives the real, application-modal entry dialog from a timer: each
    // action runs once the dialog is up, in order. Actions only type, record
    // and press buttons; the checks come after the modal showing returns.
    using DialogAction = std::function<void(QDialog&)>;
    void DriveDialog(std::vector<DialogAction> actions) {
        auto remaining = std::make_shared<std::vector<DialogAction>>(std::move(actions));
        auto* timer = new QTimer(this);
        timer->setInterval(20);
        connect(timer, &QTimer::timeout, timer, [remaining, timer] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (remaining->empty()) {
                timer->deleteLater();
                return;
            }
            if (!dialog || !dialog->isVisible()) {
                return;
            }
            DialogAction action = remaining->front();
            remaining->erase(remaining->begin());
            action(*dialog);
        });
        timer->start();
    }
    static void Type(QDialog& dialog, const char* name, const QString& text) {
        if (auto* edit = dialog.findChild<QLineEdit*>(QLatin1String(name))) {
            edit->setText(text);
        }
    }
    static void Press(QDialog& dialog, const char* name) {
        if (auto* button = dialog.findChild<QPushButton*>(QLatin1String(name))) {
            button->click();
        }
    }

  private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_boxes = RecordingBoxes();
        m_dialog = nullptr;
        pendingSteps.clear();
    }

    // ---- the list control ----------------------------------------------------

    void listKeysAreUniqueWithoutRegardToCase() {
        ListView view;
        ListItems& items = view.Items();
        items.Add(QStringLiteral("Sales"));
        items.Add(QStringLiteral("Stock"));
        QCOMPARE(items.Count(), 2);
        try {
            items.Add(QStringLiteral("SALES"));
            QFAIL("a caption differing only in case was accepted");
        } catch (const ListError& error) {
            QVERIFY2(error.Description().contains(QStringLiteral("SALES")) &&
                         error.Description().contains(QStringLiteral("Sales")),
                     qPrintable(error.Description()));
        }
        QCOMPARE(items.Count(), 2);
        QCOMPARE(items.Item(QStringLiteral("sTOCK")).Index(), 2);
        items.Remove(1);
        QCOMPARE(items.Item(1).Key(), QStringLiteral("Stock"));
        QCOMPARE(items.Item(QStringLiteral("stock")).Index(), 1);
        // The removed key is free again.
        items.Add(QStringLiteral("sales"));
        QCOMPARE(items.Item(2).Key(), QStringLiteral("sales"));
        QVERIFY_THROWS_EXCEPTION(ListError, items.Item(0));
        QVERIFY_THROWS_EXCEPTION(ListError, items.Item(3));
        QVERIFY_THROWS_EXCEPTION(ListError, items.Item(QStringLiteral("Sales ")));
        QVERIFY_THROWS_EXCEPTION(ListError, items.Remove(5));
    }

    void selectingFromCodeRaisesNoItemClickButAClickDoes() {
        ListView view;
        view.resize(200, 200);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.Items().Add(QStringLiteral("A"));
        ListItem& b = view.Items().Add(QStringLiteral("B"));
        QSignalSpy clicks(&view, &ListView::ItemClick);
        b.setSelected(true);
        QCOMPARE(clicks.count(), 0);
        QCOMPARE(view.SelectedItem(), &b);
        QVERIFY(b.Selected());
        const QRect rect = view.visualItemRect(&view.Items().Item(1));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, rect.center());
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(clicks.at(0).at(0).value<ListItem*>(), &view.Items().Item(1));
        QCOMPARE(view.SelectedItem()->Key(), QStringLiteral("A"));
    }

    // ---- the settings file ------------------------------------------------------

    void firstStartWithoutFileIsEmptyAndSilent() {
        auto form = NewForm();
        QCOMPARE(form->lstFile->Items().Count(), 0);
        QCOMPARE(form->lstFile->SelectedItem(), nullptr);
        QVERIFY(m_boxes.warnings.isEmpty());
        QCOMPARE(Values(*form), QStringList({QString(), QString(), QString()}));
    }

    void threeTargetsWithEqualsSignsRoundTrip() {
        const QString first = MakeFile(QStringLiteral("a=1.mdb"), 1234);
        {
            auto form = NewForm();
            QVERIFY(
                form->AddList(QStringLiteral("Sales=2026"), first, QStringLiteral("pa=ss"), true));
            QVERIFY(form->AddList(QStringLiteral("Stock"), QStringLiteral("/no/such=dir/s.mdb"),
                                  QString(), false));
            QVERIFY(form->AddList(QStringLiteral("HR"), QStringLiteral("/data/hr.mdb"),
                                  QStringLiteral("=x=;y"), true));
            form->close();
        }
        const QString text = QString::fromUtf8(ReadAll(Ini()));
        QVERIFY2(text.indexOf(QStringLiteral("[Sales=2026]")) <
                         text.indexOf(QStringLiteral("[Stock]")) &&
                     text.indexOf(QStringLiteral("[Stock]")) < text.indexOf(QStringLiteral("[HR]")),
                 qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("Enabled=False")));
        QCOMPARE(text.count(QStringLiteral("Enabled=True")), 2);

        auto form = NewForm();
        QCOMPARE(Captions(*form), QStringList({QStringLiteral("Sales=2026"),
                                               QStringLiteral("Stock"), QStringLiteral("HR")}));
        ListItems& items = form->lstFile->Items();
        QCOMPARE(items.Item(1).Tag(),
                 (TargetRecord{QStringLiteral("Sales=2026"), first, QStringLiteral("pa=ss")}));
        QCOMPARE(items.Item(2).Tag(),
                 (TargetRecord{QStringLiteral("Stock"), QStringLiteral("/no/such=dir/s.mdb"),
                               QString()}));
        QCOMPARE(items.Item(3).Tag()[2], QStringLiteral("=x=;y"));
        QCOMPARE(items.Item(3).Text(), QStringLiteral("HR"));
        QVERIFY(items.Item(1).Checked());
        QVERIFY(!items.Item(2).Checked());
        QVERIFY(items.Item(3).Checked());
        // The first target is selected and its facts are shown; its password is not.
        QCOMPARE(SelectedIndex(*form), 1);
        QCOMPARE(form->lblInfoVal[0]->text(), first);
        QCOMPARE(form->lblInfoVal[1]->text(), QStringLiteral("1234"));
        for (QLabel* label : form->lblInfoVal) {
            QVERIFY(!label->text().contains(QStringLiteral("pa=ss")));
        }
        QVERIFY(m_boxes.warnings.isEmpty());
    }

    void enabledValuesAreReadLeniently() {
        WriteAll(Ini(),
                 "[A]\r\nEnabled=true\r\nFile=/a.mdb\r\n"
                 "[B]\r\nEnabled=FALSE\r\nFile=/b.mdb\r\n"
                 "[C]\r\nEnabled=0\r\nFile=/c.mdb\r\n"
                 "[D]\r\nEnabled=-1\r\n"
                 "[E]\r\nEnabled=perhaps\r\nFile=/e.mdb\r\nPassword=pw\r\n"
                 "[F]\r\nFile=/f.mdb\r\n");
        auto form = NewForm();
        ListItems& items = form->lstFile->Items();
        QCOMPARE(Captions(*form), QStringList({"A", "B", "C", "D", "E", "F"}));
        QVERIFY(items.Item(1).Checked());
        QVERIFY(!items.Item(2).Checked());
        QVERIFY(!items.Item(3).Checked());
        QVERIFY(items.Item(4).Checked());
        // Unreadable or missing: loaded unticked, and the load goes on.
        QVERIFY(!items.Item(5).Checked());
        QVERIFY(!items.Item(6).Checked());
        // Missing keys read as empty texts.
        QCOMPARE(items.Item(4).Tag(), (TargetRecord{"D", QString(), QString()}));
        QCOMPARE(items.Item(5).Tag()[2], QStringLiteral("pw"));
        // The first target's file is missing: one warning, and it is still selected.
        QCOMPARE(m_boxes.warnings.size(), 1);
        QVERIFY(m_boxes.warnings[0].contains(QStringLiteral("/a.mdb")));
        QCOMPARE(SelectedIndex(*form), 1);
    }

    void closingRewritesEverySectionFromTheList() {
        WriteAll(Ini(),
                 "[Other program]\nEnabled=True\nFile=/o.mdb\nColour=red\n"
                 "[Old]\nEnabled=False\nFile=/old.mdb\nPassword=\n");
        {
            auto form = NewForm();
            QCOMPARE(form->lstFile->Items().Count(), 2);
            form->lstFile->Items().Item(2).setSelected(true);
            form->fk_Click();
            form->close();
        }
        const QString text = QString::fromUtf8(ReadAll(Ini()));
        QVERIFY2(text.contains(QStringLiteral("[Other program]")), qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("Colour")), qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("[Old]")), qPrintable(text));
        {
            auto form = NewForm();
            QCOMPARE(Captions(*form), QStringList({QStringLiteral("Other program")}));
            form->lstFile->Items().Item(1).setSelected(true);
            form->fk_Click();
            form->close();
        }
        QVERIFY(!QString::fromUtf8(ReadAll(Ini())).contains(QLatin1Char('[')));
        auto form = NewForm();
        QCOMPARE(form->lstFile->Items().Count(), 0);
    }

    void refusedSaveLeavesTheOldFileIntact() {
        const QByteArray before = "[Keep]\nEnabled=True\nFile=/keep.mdb\nPassword=\n";
        WriteAll(Ini(), before);
        QVERIFY(QFile::setPermissions(Ini(), QFile::ReadOwner | QFile::ReadGroup));
        {
            auto form = NewForm();
            QVERIFY(
                form->AddList(QStringLiteral("New"), QStringLiteral("/new.mdb"), QString(), true));
            m_boxes.warnings.clear();
            QVERIFY(form->close());  // the window closes all the same
            QVERIFY(!form->isVisible());
        }
        QCOMPARE(ReadAll(Ini()), before);
        QVERIFY(m_boxes.warnings.isEmpty());
        QFile::setPermissions(Ini(), QFile::ReadOwner | QFile::WriteOwner);
    }

    void exitMenuAndCloseBoxBothSave() {
        {
            auto form = NewForm();
            form->show();
            form->AddList(QStringLiteral("ByExit"), QStringLiteral("/x.mdb"), QString(), true);
            form->mnuFileItem[0]->trigger();
            QVERIFY(!form->isVisible());
        }
        QVERIFY(ReadAll(Ini()).contains("[ByExit]"));
        {
            auto form = NewForm();
            form->show();
            form->AddList(QStringLiteral("ByCloseBox"), QStringLiteral("/y.mdb"), QString(), false);
            // What the window system sends when the close box is pressed.
            QCloseEvent event;
            QApplication::sendEvent(form.get(), &event);
            QVERIFY(event.isAccepted());
        }
        const QByteArray text = ReadAll(Ini());
        QVERIFY(text.contains("[ByExit]"));
        QVERIFY(text.contains("[ByCloseBox]\nEnabled=False") ||
                text.contains("[ByCloseBox]\r\nEnabled=False"));
    }

    void settingsFileLivesInTheApplicationFolder() {
        QCOMPARE(AppPathFrom(QStringLiteral("/")), QStringLiteral("/"));
        QCOMPARE(AppPathFrom(QStringLiteral("/opt/tarnwick")), QStringLiteral("/opt/tarnwick/"));
        QCOMPARE(AppPathFrom(QStringLiteral("/opt/tarnwick/")), QStringLiteral("/opt/tarnwick/"));
        QCOMPARE(AppPathFrom(QStringLiteral("/opt/tarnwick//")), QStringLiteral("/opt/tarnwick/"));
        frmMainServices services;
        services.boxes = &m_boxes;
        auto form = std::make_unique<frmMain>(std::move(services));
        QCOMPARE(GetAppPath(*form), QCoreApplication::applicationDirPath() + QLatin1Char('/'));
        form->hide();  // not closed: nothing is written beside the test program
    }

    // ---- target list and file facts -------------------------------------------

    void duplicateCaptionsAreRefusedWithOneWarning() {
        auto form = NewForm();
        QVERIFY(form->AddList(QStringLiteral("Sales"), QStringLiteral("/s.mdb"),
                              QStringLiteral("pw"), false));
        QVERIFY(!form->AddList(QStringLiteral("Sales"), QStringLiteral("/t.mdb"), QString(), true));
        QVERIFY(!form->AddList(QStringLiteral("sALES"), QStringLiteral("/u.mdb"), QString(), true));
        QCOMPARE(m_boxes.warnings.size(), 2);
        QVERIFY(m_boxes.warnings[0].contains(QStringLiteral("Sales")));
        QCOMPARE(form->lstFile->Items().Count(), 1);
        const ListItem& item = form->lstFile->Items().Item(1);
        QCOMPARE(item.Tag(), (TargetRecord{"Sales", "/s.mdb", "pw"}));
        QVERIFY(!item.Checked());

        // A hand-made file with both spellings loads one target only.
        form.reset();
        WriteAll(Ini(), "[Sales]\nEnabled=True\nFile=/s.mdb\n[SALES]\nEnabled=False\n");
        auto loaded = NewForm();
        QCOMPARE(loaded->lstFile->Items().Count(), 1);
        QCOMPARE(loaded->lstFile->Items().Item(1).Key(), QStringLiteral("Sales"));
    }

    void addingSelectsNothingAndEditKeepsTheItem() {
        auto form = FormWithTargets(2);
        QCOMPARE(form->lstFile->SelectedItem(), nullptr);
        QCOMPARE(Values(*form), QStringList({QString(), QString(), QString()}));
        QVERIFY(form->EditList(QStringLiteral("t2"), QStringLiteral("/new.mdb"),
                               QStringLiteral("secret")));
        // Found without regard to case, but the caption stays as it was.
        QCOMPARE(form->lstFile->Items().Item(2).Tag(), (TargetRecord{"t2", "/new.mdb", "secret"}));
        QCOMPARE(form->lstFile->Items().Item(2).Key(), QStringLiteral("T2"));
        QVERIFY(!form->EditList(QStringLiteral("Nobody"), QStringLiteral("/n.mdb"), QString()));
        QCOMPARE(m_boxes.warnings.size(), 1);
        QVERIFY(m_boxes.warnings[0].contains(QStringLiteral("Nobody")));
    }

    void fileFactsShowPathAsStoredSizeAsDigitsAndLocalTime() {
        const QString path = MakeFile(QStringLiteral("big.mdb"), 1048576);
        const QString unnormalised = m_dir->path() + QStringLiteral("/./sub/../big.mdb");
        QDir(m_dir->path()).mkdir(QStringLiteral("sub"));
        auto form = NewForm();
        form->AddList(QStringLiteral("Big"), unnormalised, QStringLiteral("hidden"), true);
        SelectList(*form, 1);
        QVERIFY(m_boxes.warnings.isEmpty());
        QCOMPARE(form->lblInfoVal[0]->text(), unnormalised);
        QCOMPARE(form->lblInfoVal[1]->text(), QStringLiteral("1048576"));
        const QDateTime modified = QFileInfo(path).lastModified();
        QCOMPARE(form->lblInfoVal[2]->text(), InfoDateText(modified, QLocale::system()));
        QCOMPARE(SelectedIndex(*form), 1);

        const QLocale us(QLocale::English, QLocale::UnitedStates);
        const QDateTime when(QDate(2026, 3, 4), QTime(17, 5, 9));
        const QString usText = InfoDateText(when, us);
        QVERIFY2(usText.startsWith(QStringLiteral("3/4/26 5:05:09")) &&
                     usText.endsWith(QStringLiteral("PM")),
                 qPrintable(usText));
        const QLocale de(QLocale::German, QLocale::Germany);
        QCOMPARE(InfoDateText(when, de), QStringLiteral("04.03.26 17:05:09"));
    }

    void missingFileLeavesThePanelAsItWas() {
        auto form = FormWithTargets(1);
        form->AddList(QStringLiteral("Gone"), m_dir->filePath(QStringLiteral("gone.mdb")),
                      QString(), true);
        SelectList(*form, 1);
        const QStringList shown = Values(*form);
        QCOMPARE(shown[1], QStringLiteral("100"));
        SelectList(*form, 2);
        QCOMPARE(m_boxes.warnings.size(), 1);
        QVERIFY2(m_boxes.warnings[0].contains(QStringLiteral("gone.mdb")),
                 qPrintable(m_boxes.warnings[0]));
        QCOMPARE(Values(*form), shown);
        QCOMPARE(SelectedIndex(*form), 2);
    }

    // ---- list commands ---------------------------------------------------------

    void addAppendsTickedSelectsAndShowsIt() {
        auto form = FormWithTargets(2);
        const QString path = MakeFile(QStringLiteral("new.mdb"), 77);
        pendingSteps = {AddStep({QStringLiteral("New")}, path, QStringLiteral("pw"))};
        form->cmdAdd_Click();
        QCOMPARE(m_dialog->showings.size(), std::size_t{1});
        QVERIFY(m_dialog->showings[0].bAdd);
        QCOMPARE(m_dialog->showings[0].caption, QString());
        QCOMPARE(m_dialog->showings[0].file, QString());
        QCOMPARE(m_dialog->showings[0].password, QString());
        QCOMPARE(Captions(*form), QStringList({"T1", "T2", "New"}));
        QVERIFY(form->lstFile->Items().Item(3).Checked());
        QCOMPARE(SelectedIndex(*form), 3);
        QCOMPARE(Values(*form)[0], path);
        QCOMPARE(Values(*form)[1], QStringLiteral("77"));
    }

    void addThenCancelChangesNothing() {
        auto form = FormWithTargets(2);
        SelectList(*form, 2);
        const QStringList shown = Values(*form);
        pendingSteps = {CancelStep()};
        form->cmdAdd_Click();
        QCOMPARE(Captions(*form), QStringList({"T1", "T2"}));
        QCOMPARE(SelectedIndex(*form), 2);
        QCOMPARE(Values(*form), shown);
    }

    void duplicateCaptionInTheDialogWarnsAndAllowsACorrection() {
        auto form = FormWithTargets(2);
        const QString path = MakeFile(QStringLiteral("n.mdb"), 5);
        pendingSteps = {AddStep({QStringLiteral("t1"), QStringLiteral("T3")}, path)};
        form->cmdAdd_Click();
        QCOMPARE(m_boxes.warnings.size(), 1);
        QCOMPARE(Captions(*form), QStringList({"T1", "T2", "T3"}));
        QCOMPARE(form->lstFile->Items().Item(1).Tag()[1], m_dir->filePath("t1.mdb"));
        // Refused and then cancelled: the list is as it was.
        pendingSteps = {AddStep({QStringLiteral("T2")}, path)};
        m_dialog->steps = pendingSteps;
        pendingSteps.clear();
        form->cmdAdd_Click();
        QCOMPARE(m_boxes.warnings.size(), 2);
        QCOMPARE(Captions(*form), QStringList({"T1", "T2", "T3"}));
    }

    void addOnAnEmptyListClosedByTheCloseBoxDoesNothing() {
        auto form = NewForm();
        pendingSteps = {CloseBoxStep()};
        form->cmdAdd_Click();
        QCOMPARE(form->lstFile->Items().Count(), 0);
        QVERIFY(m_boxes.warnings.isEmpty());
    }

    void editKeepsPositionTickAndSelection() {
        auto form = FormWithTargets(3);
        form->lstFile->Items().Item(2).setChecked(false);
        form->lstFile->Items().Item(2).setSelected(true);
        const QString moved = MakeFile(QStringLiteral("moved.mdb"), 4321);
        pendingSteps = {[&](TargetSink& sink, const ScriptedDialog::Showing& shown) {
            return !sink.EditList(shown.caption, moved, QStringLiteral("new pw"));
        }};
        form->cmdEdit_Click();
        const ScriptedDialog::Showing& shown = m_dialog->showings.at(0);
        QVERIFY(!shown.bAdd);
        QCOMPARE(shown.caption, QStringLiteral("T2"));
        QCOMPARE(shown.file, m_dir->filePath(QStringLiteral("t2.mdb")));
        const ListItem& item = form->lstFile->Items().Item(2);
        QCOMPARE(item.Tag(), (TargetRecord{"T2", moved, "new pw"}));
        QVERIFY(!item.Checked());
        QCOMPARE(SelectedIndex(*form), 2);
        QCOMPARE(Values(*form), QStringList({moved, "4321", Values(*form)[2]}));

        // Edit then Cancel: nothing changes and nothing is read anew.
        form->lblInfoVal[1]->setText(QStringLiteral("marker"));
        m_dialog->steps = {CancelStep()};
        form->cmdEdit_Click();
        QCOMPARE(form->lblInfoVal[1]->text(), QStringLiteral("marker"));
        QCOMPARE(item.Tag()[1], moved);
    }

    void editWithNothingSelectedOpensNoDialog() {
        auto form = FormWithTargets(2);
        form->cmdEdit_Click();
        QCOMPARE(m_dialog, nullptr);
        auto empty = NewForm();
        empty->cmdEdit_Click();
        QCOMPARE(m_dialog, nullptr);
    }

    void deleteOfTheThirdOfFiveSelectsTheFirst() {
        auto form = FormWithTargets(5);
        SelectList(*form, 3);
        form->fk_Click();
        QCOMPARE(Captions(*form), QStringList({"T1", "T2", "T4", "T5"}));
        QCOMPARE(SelectedIndex(*form), 1);
        QCOMPARE(Values(*form)[0], m_dir->filePath(QStringLiteral("t1.mdb")));
        QCOMPARE(Values(*form)[1], QStringLiteral("100"));
        QVERIFY(m_boxes.warnings.isEmpty());
    }

    void deleteWithNothingSelectedDoesNothing() {
        auto form = FormWithTargets(3);
        form->lblInfoVal[0]->setText(QStringLiteral("as before"));
        form->fk_Click();
        QCOMPARE(Captions(*form), QStringList({"T1", "T2", "T3"}));
        QCOMPARE(form->lblInfoVal[0]->text(), QStringLiteral("as before"));
        auto empty = NewForm();
        empty->fk_Click();
        QCOMPARE(empty->lstFile->Items().Count(), 0);
    }

    void deleteOfTheLastTargetBlanksThePanel() {
        auto form = FormWithTargets(1);
        SelectList(*form, 1);
        QVERIFY(!Values(*form)[1].isEmpty());
        form->fk_Click();
        QCOMPARE(form->lstFile->Items().Count(), 0);
        QCOMPARE(Values(*form), QStringList({QString(), QString(), QString()}));
    }

    // ---- window shell ----------------------------------------------------------

    void dropOfThreeFilesOpensTheDialogWithTheFirst() {
        auto form = FormWithTargets(2);
        SelectList(*form, 1);
        const QStringList shown = Values(*form);
        const QString first = MakeFile(QStringLiteral("first.mdb"), 10);
        pendingSteps = {AddStep({QStringLiteral("Dropped")}, first)};
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(first),
                      QUrl::fromLocalFile(m_dir->filePath(QStringLiteral("second.mdb"))),
                      QUrl::fromLocalFile(m_dir->path())});
        QWidget* target = form->lstFile->viewport();
        const QPoint at(10, 10);
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QVERIFY(enter.isAccepted());
        QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &move);
        QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        QTRY_VERIFY(m_dialog && m_dialog->showings.size() == 1);
        const ScriptedDialog::Showing& showing = m_dialog->showings[0];
        QVERIFY(showing.bAdd);
        QCOMPARE(showing.caption, QString());
        QCOMPARE(showing.file, first);
        QCOMPARE(showing.password, QString());
        // Appended ticked; the selection and the panel stay as they were.
        QCOMPARE(Captions(*form), QStringList({"T1", "T2", "Dropped"}));
        QVERIFY(form->lstFile->Items().Item(3).Checked());
        QCOMPARE(SelectedIndex(*form), 1);
        QCOMPARE(Values(*form), shown);
        QVERIFY(form->lstFile->Items().Count() == 3);
        form->hide();
    }

    void dropOfTextOrRemoteAddressesDoesNothing() {
        auto form = FormWithTargets(1);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        QWidget* target = form->lstFile->viewport();
        const QPoint at(10, 10);
        QMimeData text;
        text.setText(m_dir->filePath(QStringLiteral("t1.mdb")));
        QMimeData remote;
        remote.setUrls({QUrl(QStringLiteral("https://example.org/db.mdb"))});
        for (QMimeData* data : {&text, &remote}) {
            QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &enter);
            QVERIFY(!enter.isAccepted());
            QDropEvent drop(QPointF(at), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &drop);
        }
        QCoreApplication::processEvents();
        QCOMPARE(m_dialog, nullptr);
        QCOMPARE(form->lstFile->Items().Count(), 1);
        QVERIFY(m_boxes.warnings.isEmpty());
        QVERIFY(m_boxes.plain.isEmpty());
        form->hide();
    }

    void versionBoxShowsTheBuildNumbers() {
        auto form = NewForm();
        form->mnuHelpItem[0]->trigger();
        QCOMPARE(m_boxes.plain, QStringList({QStringLiteral("Tarnwick version 1.0.381")}));
        QVERIFY(m_boxes.warnings.isEmpty());
        QCOMPARE(VersionText(QStringLiteral("Tarnwick"), 1, 0, 5),
                 QStringLiteral("Tarnwick version 1.0.5"));
        QCOMPARE(VersionText(QStringLiteral("X"), 10, 20, 3000),
                 QStringLiteral("X version 10.20.3000"));
    }

    void windowLayoutMenusAndKeyboard() {
        auto form = FormWithTargets(1);
        form->show();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QCOMPARE(form->windowTitle(), QStringLiteral("Quorvane"));
        QVERIFY(!(form->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(form->windowFlags() & Qt::WindowCloseButtonHint);
        QVERIFY(!form->windowIcon().isNull());
        QCOMPARE(form->minimumSize(), form->maximumSize());
        const QWidget* client = form->centralWidget();
        QCOMPARE(client->size(), QSize(form->Twips(5970), form->Twips(4245)));
        auto at = [&](int l, int t, int w, int h) {
            return QRect(form->Twips(l), form->Twips(t), form->Twips(w), form->Twips(h));
        };
        QCOMPARE(form->lstFile->geometry(), at(90, 390, 4335, 1935));
        QCOMPARE(form->cmdAdd->geometry(), at(4530, 120, 1335, 375));
        QCOMPARE(form->fk->geometry(), at(4530, 1020, 1335, 375));
        QCOMPARE(form->cmdOptimize->geometry(), at(4530, 1470, 1335, 855));
        QCOMPARE(form->fraInfo->geometry(), at(90, 2400, 5775, 1395));
        QCOMPARE(form->lblInfoVal[0]->geometry(), at(1440, 270, 4155, 375));
        QCOMPARE(form->lblInfo[2]->text(), QStringLiteral("Last Updated : "));
        QCOMPARE(form->prgBar->geometry(), at(30, 3930, 4980, 300));
        QCOMPARE(form->stbrMain->Panel(1)->width(), form->Twips(5000));
        QCOMPARE(form->stbrMain->Panel(2)->width(), form->Twips(1440));
        QCOMPARE(form->stbrMain->Panel(2)->x(), form->Twips(5000));
        QVERIFY(form->prgBar->isVisible());
        // The bar lies in front of the status bar.
        const QObjectList& order = client->children();
        QVERIFY(order.indexOf(form->prgBar) > order.indexOf(form->stbrMain));
        QCOMPARE(form->cmdOptimize->iconSize(), QSize(form->Twips(480), form->Twips(480)));

        QCOMPARE(form->mnuFile->title(), QStringLiteral("&File"));
        QCOMPARE(form->mnuFileItem[0]->text(), QStringLiteral("E&xit"));
        QCOMPARE(form->mnuHelp->title(), QStringLiteral("&Help"));
        QCOMPARE(form->mnuHelpItem[0]->text(), QStringLiteral("&Version..."));
        for (QPushButton* button : {form->cmdAdd, form->cmdEdit, form->fk}) {
            QVERIFY(!button->isDefault());
            QVERIFY(!button->autoDefault());
        }
        // Focus starts at Optimize and runs Optimize, list, Add, Edit, Delete.
        QTRY_COMPARE(QApplication::focusWidget(), form->cmdOptimize);
        QWidget* expected[] = {form->lstFile, form->cmdAdd, form->cmdEdit, form->fk};
        for (QWidget* next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
        // In the list, the arrow keys move to a target and show its facts, and
        // Space ticks or unticks it.
        form->AddList(QStringLiteral("Second"), MakeFile(QStringLiteral("second.mdb"), 2222),
                      QString(), true);
        SelectList(*form, 1);
        form->lstFile->setFocus();
        QTest::keyClick(form->lstFile, Qt::Key_Down);
        QCOMPARE(SelectedIndex(*form), 2);
        QCOMPARE(Values(*form)[1], QStringLiteral("2222"));
        QTest::keyClick(form->lstFile, Qt::Key_Space);
        QVERIFY(!form->lstFile->Items().Item(2).Checked());
        form->lstFile->Items().Remove(2);
        form->cmdOptimize->setFocus();
        // The access keys press the buttons.
        pendingSteps = {CancelStep()};
        // (A button pressed by its access key clicks after a short flash.)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::AltModifier);
        QTRY_VERIFY(m_dialog && m_dialog->showings.size() == 1);
        QVERIFY(m_dialog->showings[0].bAdd);
        SelectList(*form, 1);
        m_dialog->steps = {CancelStep()};
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_E, Qt::AltModifier);
        QTRY_COMPARE(m_dialog->showings.size(), std::size_t{2});
        QVERIFY(!m_dialog->showings[1].bAdd);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_D, Qt::AltModifier);
        QTRY_COMPARE(form->lstFile->Items().Count(), 0);
        // Alt+O runs Optimize: over an empty list it only hides the bar.
        QVERIFY(form->prgBar->isVisible());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_O, Qt::AltModifier);
        QTRY_VERIFY(!form->prgBar->isVisible());
        // Alt+H opens the Help menu.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_H, Qt::AltModifier);
        QTRY_VERIFY(form->mnuHelp->isVisible());
        form->mnuHelp->hide();
        QCOMPARE(form->cmdOptimize->text(), QStringLiteral("&Optimize"));
        form->hide();
    }

    // ---- with the real entry dialog ---------------------------------------------

    void realDialogAddsAndADuplicateKeepsItOpenWithTheTypedValues() {
        auto form = NewForm({}, true);
        const QString first = MakeFile(QStringLiteral("first.mdb"), 11);
        const QString second = MakeFile(QStringLiteral("second.mdb"), 22);
        form->AddList(QStringLiteral("Sales"), first, QString(), false);
        form->show();
        QStringList fieldsAfterRefusal;
        DriveDialog({
            [&](QDialog& d) {
                Type(d, "txtCaption", QStringLiteral("  sales "));
                Type(d, "txtFile", second);
                Type(d, "txtPasswd", QStringLiteral("pw"));
                Press(d, "cmdOK");  // refused: the caption is in the list
            },
            [&](QDialog& d) {
                for (const char* name : {"txtCaption", "txtFile", "txtPasswd"}) {
                    fieldsAfterRefusal.append(d.findChild<QLineEdit*>(QLatin1String(name))->text());
                }
                Type(d, "txtCaption", QStringLiteral("Stock"));
                Press(d, "cmdOK");
            },
        });
        form->cmdAdd_Click();
        QCOMPARE(fieldsAfterRefusal, QStringList({QStringLiteral("sales"), second, "pw"}));
        QCOMPARE(m_boxes.warnings.size(), 1);
        QVERIFY(m_boxes.warnings[0].contains(QStringLiteral("Sales")));
        QCOMPARE(Captions(*form), QStringList({"Sales", "Stock"}));
        QCOMPARE(form->lstFile->Items().Item(2).Tag(), (TargetRecord{"Stock", second, "pw"}));
        QVERIFY(form->lstFile->Items().Item(2).Checked());
        QCOMPARE(SelectedIndex(*form), 2);
        QCOMPARE(Values(*form)[1], QStringLiteral("22"));

        // Edit through the real dialog: the caption cannot change, the path can.
        bool captionEnabled = true;
        DriveDialog({[&](QDialog& d) {
            captionEnabled = d.findChild<QLineEdit*>(QStringLiteral("txtCaption"))->isEnabled();
            Type(d, "txtFile", first);
            Press(d, "cmdOK");
        }});
        form->cmdEdit_Click();
        QVERIFY(!captionEnabled);
        QCOMPARE(form->lstFile->Items().Item(2).Tag(), (TargetRecord{"Stock", first, "pw"}));
        QCOMPARE(SelectedIndex(*form), 2);
        QCOMPARE(Values(*form)[1], QStringLiteral("11"));

        // Cancel after a drop: nothing changes.
        DriveDialog({[&](QDialog& d) { Press(d, "cmdCancel"); }});
        form->lstFile_OLEDragDrop({second});
        QCOMPARE(form->lstFile->Items().Count(), 2);
        form->hide();
    }

    // ---- "&Optimize" -----------------------------------------------------------

    void optimizeCompactsTheTickedCorpusDatabasesInPlace() {
        const auto files = testsupport::corpus_files("jet4");
        std::vector<testsupport::CorpusFile> plain;
        for (const auto& file : files) {
            if (file.password.empty() && file.name.find("format-corpus/") == 0) {
                plain.push_back(file);
            }
        }
        if (plain.size() < 2) {
            QSKIP("the corpus is absent or has too few plain Jet 4 databases");
        }
        const std::filesystem::path dir = m_dir->path().toStdString();
        std::vector<QString> paths;
        std::vector<QByteArray> before;
        for (std::size_t i = 0; i < 2; ++i) {
            const auto copy = testsupport::copy_to_scratch(plain[i].path, dir);
            std::filesystem::permissions(copy, std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::add);
            paths.push_back(QString::fromStdString(copy.string()));
            before.push_back(ReadAll(paths.back()));
        }
        const QString cwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir->path()));  // "TmpMDB.mdb" is made here
        frmMainServices services;
        std::vector<int> sleeps;
        services.sleep = [&](int ms) { sleeps.push_back(ms); };
        auto form = NewForm(std::move(services));
        form->AddList(QStringLiteral("Ticked"), paths[0], QString(), true);
        form->AddList(QStringLiteral("Unticked"), paths[1], QString(), false);
        form->show();
        form->cmdOptimize->click();
        QDir::setCurrent(cwd);
        QVERIFY2(m_boxes.warnings.isEmpty(), qPrintable(m_boxes.warnings.join("\n")));
        QCOMPARE(sleeps, std::vector<int>({500}));
        QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("TmpMDB.mdb"))));
        // The ticked database was replaced by its compacted copy; the other is untouched.
        const QByteArray after = ReadAll(paths[0]);
        QVERIFY(!after.isEmpty());
        QVERIFY(after != before[0]);
        QCOMPARE(ReadAll(paths[1]), before[1]);
        QVERIFY(!form->prgBar->isVisible());
        QCOMPARE(form->stbrMain->Panel(2)->text(), QString());
        form->hide();
    }

    void optimizeDrivesTheBarAndThePanel() {
        struct Seen {
            QStringList sources;
            bool barVisible = false;
            int barMax = 0;
            QStringList panel;
        };
        auto seen = std::make_shared<Seen>();
        frmMain* formPtr = nullptr;
        class RecordingEngine : public DatabaseEngine {
          public:
            RecordingEngine(std::shared_ptr<Seen> s, frmMain*& f) : m_seen(std::move(s)), m_f(f) {}
            void CompactDatabase(const QString& source, const QString&) override {
                m_seen->sources.append(source);
                m_seen->barVisible = m_f->prgBar->isVisible();
                m_seen->barMax = m_f->prgBar->maximum();
                m_seen->panel.append(m_f->stbrMain->Panel(2)->text());
                throw EngineError(QStringLiteral("stopped by the test"));
            }

          private:
            std::shared_ptr<Seen> m_seen;
            frmMain*& m_f;
        };
        frmMainServices services;
        services.engines = [&] { return std::make_unique<RecordingEngine>(seen, formPtr); };
        std::vector<int> sleeps;
        services.sleep = [&](int ms) { sleeps.push_back(ms); };
        auto form = NewForm(std::move(services));
        formPtr = form.get();
        form->AddList(QStringLiteral("Off"), QStringLiteral("/off.mdb"), QString(), false);
        form->AddList(QStringLiteral("On"), QStringLiteral("/on.mdb"), QString(), true);
        form->show();
        form->cmdOptimize->click();
        QCOMPARE(seen->sources, QStringList({QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;Data "
                                                            "Source=/on.mdb;")}));
        QVERIFY(seen->barVisible);
        QCOMPARE(seen->barMax, 2);
        QCOMPARE(seen->panel, QStringList({QStringLiteral("50%")}));
        QCOMPARE(m_boxes.warnings.size(), 1);
        QVERIFY(m_boxes.warnings[0].startsWith(QStringLiteral("Failed in optimizing")));
        QVERIFY(m_boxes.warnings[0].contains(QStringLiteral("/on.mdb")));
        QCOMPARE(sleeps, std::vector<int>({500}));
        QVERIFY(!form->prgBar->isVisible());
        QCOMPARE(form->stbrMain->Panel(2)->text(), QString());
        QCOMPARE(form->stbrMain->Panel(2)->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
        // The run reads the list and changes nothing in it.
        QCOMPARE(Captions(*form), QStringList({"Off", "On"}));
        form->hide();
    }
};

QTEST_MAIN(frmMainTest)
#include "frmmain_test.moc"
