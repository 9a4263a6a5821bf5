#include "mainwindow/frmmain.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QLocale>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QToolButton>

#include "app_version.h"
#include "mainwindow/infotext.h"
#include "platform/messagebox.h"
#include "settings/clsprofile.h"
#include "settings/enabled.h"

namespace {

const char* const kSettingsFileName = "Tarnwick.ini";

// The compaction run's view of this window: the list it walks, the bar and
// the percentage panel it moves. Bar and panel are repainted at once, as the
// run keeps the event loop waiting until it ends.
class frmMainRunView : public RunView {
  public:
    frmMainRunView(frmMain& form, std::function<void(int)> sleep)
        : m_form(form), m_sleep(std::move(sleep)) {}

    int ItemCount() override { return m_form.lstFile->Items().Count(); }
    bool ItemChecked(int index) override { return m_form.lstFile->Items().Item(index).Checked(); }
    QString ItemPath(int index) override { return m_form.lstFile->Items().Item(index).Tag()[1]; }
    QString ItemPassword(int index) override {
        return m_form.lstFile->Items().Item(index).Tag()[2];
    }
    void SetBarMax(int value) override {
        m_form.prgBar->setMaximum(value);
        m_form.prgBar->repaint();
    }
    void SetBarValue(int value) override {
        m_form.prgBar->setValue(value);
        m_form.prgBar->repaint();
    }
    void SetBarVisible(bool visible) override {
        m_form.prgBar->setVisible(visible);
        m_form.stbrMain->repaint();
        if (visible) {
            m_form.prgBar->repaint();
        }
    }
    void CenterStatusPanel() override { m_form.stbrMain->Panel(2)->setAlignment(Qt::AlignCenter); }
    void SetStatusText(const QString& text) override {
        QLabel* panel = m_form.stbrMain->Panel(2);
        panel->setText(text);
        panel->repaint();
    }
    void Sleep(int milliseconds) override {
        if (m_sleep) {
            m_sleep(milliseconds);
        } else {
            QThread::msleep(static_cast<unsigned long>(std::max(0, milliseconds)));
        }
    }

  private:
    frmMain& m_form;
    std::function<void(int)> m_sleep;
};

}  // namespace

QString AppPathFrom(const QString& strDir) {
    QString path = strDir;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    if (!path.endsWith(QLatin1Char('/'))) {
        path += QLatin1Char('/');
    }
    return path;
}

QString VersionText(const QString& strExeName, int major, int minor, int revision) {
    return strExeName + QStringLiteral(" version ") + QString::number(major) + QLatin1Char('.') +
           QString::number(minor) + QLatin1Char('.') + QString::number(revision);
}

frmMain::frmMain(frmMainServices services, QWidget* parent)
    : QMainWindow(parent), m_services(std::move(services)) {
    BuildControls();
    Form_Load();
}

frmMain::~frmMain() = default;

int frmMain::Twips(int twips) const {
    return qRound(twips / 15.0 * m_dScale);
}

MessageBoxes& frmMain::Boxes() {
    if (m_services.boxes) {
        return *m_services.boxes;
    }
    if (!m_ownBoxes) {
        m_ownBoxes = std::make_unique<QtMessageBoxes>(this);
    }
    return *m_ownBoxes;
}

EntryDialogPort* frmMain::EntryDialog() {
    if (!m_frmAdd) {
        m_frmAdd = m_services.entryDialogs ? m_services.entryDialogs(*this, Boxes())
                                           : MakeFrmAddPort(*this, Boxes(), this);
    }
    return m_frmAdd.get();
}

QString frmMain::GetAppPath() const {
    const QString dir =
        m_services.appDir.isEmpty() ? QCoreApplication::applicationDirPath() : m_services.appDir;
    return AppPathFrom(dir);
}

// ---- the window and its controls -----------------------------------------

void frmMain::BuildControls() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        m_dScale = std::max(1.0, screen->logicalDotsPerInchX() / 96.0);
    }
    auto place = [this](QWidget* widget, int left, int top, int width, int height) {
        widget->setGeometry(Twips(left), Twips(top), Twips(width), Twips(height));
    };

    // The layout is drawn for a dialog font of 8 points; a larger desktop
    // font would not fit its labels.
    QFont dialogFont = QApplication::font();
    if (dialogFont.pointSizeF() > 8.0) {
        dialogFont.setPointSizeF(8.0);
    }
    setFont(dialogFont);

    setWindowTitle(QStringLiteral("Quorvane"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/tarnwick/icons/tarnwick-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/tarnwick/icons/tarnwick-32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/tarnwick/icons/tarnwick-48.png"), QSize(48, 48));
    setWindowIcon(icon);
    // A fixed single border with a close box only.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(Twips(5970), Twips(4245));
    setCentralWidget(client);

    lblMain = new QLabel(QStringLiteral("Target *.mdb : "), client);
    lblMain->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    place(lblMain, 90, 120, 4335, 255);

    lstFile = new ListView(client);
    lstFile->setObjectName(QStringLiteral("lstFile"));
    place(lstFile, 90, 390, 4335, 1935);

    auto makeButton = [&](const QString& text, int top) {
        auto* button = new QPushButton(text, client);
        button->setAutoDefault(false);
        button->setDefault(false);
        button->setFocusPolicy(Qt::StrongFocus);
        place(button, 4530, top, 1335, 375);
        return button;
    };
    cmdAdd = makeButton(QStringLiteral("&Add..."), 120);
    cmdAdd->setObjectName(QStringLiteral("cmdAdd"));
    cmdEdit = makeButton(QStringLiteral("&Edit..."), 570);
    cmdEdit->setObjectName(QStringLiteral("cmdEdit"));
    fk = makeButton(QStringLiteral("&Delete"), 1020);
    fk->setObjectName(QStringLiteral("fk"));

    cmdOptimize = new QToolButton(client);
    cmdOptimize->setObjectName(QStringLiteral("cmdOptimize"));
    cmdOptimize->setText(QStringLiteral("&Optimize"));
    QIcon picture;  // 32 x 32, with a larger drawing for screens of more dots per inch
    picture.addFile(QStringLiteral(":/tarnwick/icons/optimize-32.png"), QSize(32, 32));
    picture.addFile(QStringLiteral(":/tarnwick/icons/optimize-64.png"), QSize(64, 64));
    cmdOptimize->setIcon(picture);
    cmdOptimize->setIconSize(QSize(Twips(480), Twips(480)));
    cmdOptimize->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    cmdOptimize->setAutoRaise(false);
    cmdOptimize->setFocusPolicy(Qt::StrongFocus);
    place(cmdOptimize, 4530, 1470, 1335, 855);

    fraInfo = new QGroupBox(QStringLiteral("File Info."), client);
    fraInfo->setObjectName(QStringLiteral("fraInfo"));
    place(fraInfo, 90, 2400, 5775, 1395);
    const std::array<QString, 3> captions = {QStringLiteral("Path : "), QStringLiteral("Size : "),
                                             QStringLiteral("Last Updated : ")};
    const std::array<int, 3> tops = {270, 750, 1050};
    const std::array<int, 3> valueHeights = {375, 255, 255};
    for (std::size_t i = 0; i < 3; ++i) {
        lblInfo[i] = new QLabel(captions[i], fraInfo);
        lblInfo[i]->setAlignment(Qt::AlignRight | Qt::AlignTop);
        place(lblInfo[i], 120, tops[i], 1215, 255);
        // A caption wider than its place (a wide font) grows to the left, so
        // that it stays whole and still ends where its value begins.
        const QRect box = lblInfo[i]->geometry();
        const int needed = lblInfo[i]->fontMetrics().horizontalAdvance(captions[i]) + 1;
        if (needed > box.width()) {
            const int left = std::max(0, box.right() + 1 - needed);
            lblInfo[i]->setGeometry(left, box.top(), box.right() + 1 - left, box.height());
        }
        lblInfoVal[i] = new QLabel(fraInfo);
        lblInfoVal[i]->setObjectName(QStringLiteral("lblInfoVal%1").arg(i));
        lblInfoVal[i]->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        lblInfoVal[i]->setTextFormat(Qt::PlainText);
        place(lblInfoVal[i], 1440, tops[i], 4155, valueHeights[i]);
    }
    // The path may be longer than its label: it wraps into the half line
    // below and can be selected for copying.
    lblInfoVal[0]->setWordWrap(true);
    lblInfoVal[0]->setTextInteractionFlags(Qt::TextSelectableByMouse);

    stbrMain = new StatusBar(client);
    stbrMain->setObjectName(QStringLiteral("stbrMain"));
    stbrMain->setGeometry(0, Twips(3870), Twips(5970), Twips(375));
    stbrMain->AddPanel(Twips(5000));
    stbrMain->AddPanel(Twips(1440));

    prgBar = new QProgressBar(client);
    prgBar->setObjectName(QStringLiteral("prgBar"));
    prgBar->setRange(0, 100);
    prgBar->setValue(0);
    prgBar->setTextVisible(false);
    place(prgBar, 30, 3930, 4980, 300);
    prgBar->raise();  // in front of the status bar's first panel

    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFileItem[0] = mnuFile->addAction(QStringLiteral("E&xit"));
    connect(mnuFileItem[0], &QAction::triggered, this, [this] { mnuFileItem_Click(0); });
    mnuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuHelpItem[0] = mnuHelp->addAction(QStringLiteral("&Version..."));
    connect(mnuHelpItem[0], &QAction::triggered, this, [this] { mnuHelpItem_Click(0); });

    // The window takes the size of its client area plus the menu bar, and keeps it.
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(cmdOptimize, lstFile);
    setTabOrder(lstFile, cmdAdd);
    setTabOrder(cmdAdd, cmdEdit);
    setTabOrder(cmdEdit, fk);
    cmdOptimize->setFocus();

    connect(cmdAdd, &QPushButton::clicked, this, &frmMain::cmdAdd_Click);
    connect(cmdEdit, &QPushButton::clicked, this, &frmMain::cmdEdit_Click);
    connect(fk, &QPushButton::clicked, this, &frmMain::fk_Click);
    connect(cmdOptimize, &QToolButton::clicked, this, &frmMain::cmdOptimize_Click);
    connect(lstFile, &ListView::ItemClick, this, &frmMain::lstFile_ItemClick);
    // The dialog opens once the drop has finished, so the file manager that
    // started the drag is not kept waiting while it is open.
    connect(lstFile, &ListView::FilesDropped, this, &frmMain::lstFile_OLEDragDrop,
            Qt::QueuedConnection);
}

void frmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    cmdOptimize->setFocus(Qt::ActiveWindowFocusReason);
}

// ---- load and unload -------------------------------------------------------

void frmMain::Form_Load() {
    clsProfile profile;
    profile.setFileName(GetAppPath() + QLatin1String(kSettingsFileName));
    const QStringList sections = profile.GetSectNames();
    for (const QString& section : sections) {
        const OptText path = profile.GetString(section, QStringLiteral("File"), QString());
        const OptText password = profile.GetString(section, QStringLiteral("Password"), QString());
        const OptText enabled = profile.GetString(section, QStringLiteral("Enabled"), QString());
        // A value that is neither True, False nor a number loads unticked.
        AddList(section, path.value_or(QString()), password.value_or(QString()),
                EnabledOrUnticked(enabled));
    }
    SelectList(1);
}  // the profile object is released here, which flushes the file

void frmMain::Form_Unload() {
    clsProfile profile;
    profile.setFileName(GetAppPath() + QLatin1String(kSettingsFileName));
    const QStringList sections = profile.GetSectNames();
    for (const QString& section : sections) {
        profile.DeleteSection(section);
    }
    ListItems& items = lstFile->Items();
    const int count = items.Count();
    for (int i = 1; i <= count; ++i) {
        const ListItem& item = items.Item(i);
        const TargetRecord record = item.Tag();
        profile.WriteString(record[0], QStringLiteral("Enabled"),
                            item.Checked() ? QStringLiteral("True") : QStringLiteral("False"));
        profile.WriteString(record[0], QStringLiteral("File"), record[1]);
        profile.WriteString(record[0], QStringLiteral("Password"), record[2]);
    }
}  // released: flushed

void frmMain::closeEvent(QCloseEvent* event) {
    Form_Unload();
    QMainWindow::closeEvent(event);
}

// ---- the target list -------------------------------------------------------

bool frmMain::AddList(const QString& strCaption, const QString& strFile, const QString& strPassword,
                      bool bEnable) {
    const TargetRecord record = {strCaption, strFile, strPassword};
    try {
        ListItem& item = lstFile->Items().Add(strCaption);
        item.setText(strCaption);
        item.setTag(record);
        item.setChecked(bEnable);
        return true;
    } catch (const ListError& error) {
        Boxes().Exclamation(error.Description());
        return false;
    }
}

bool frmMain::EditList(const QString& strCaption, const QString& strFile,
                       const QString& strPassword) {
    const TargetRecord record = {strCaption, strFile, strPassword};
    try {
        ListItem& item = lstFile->Items().Item(strCaption);
        item.setTag(record);
        return true;
    } catch (const ListError& error) {
        Boxes().Exclamation(error.Description());
        return false;
    }
}

void frmMain::SelectList(int position) {
    ListItems& items = lstFile->Items();
    if (items.Count() == 0) {
        return;
    }
    lstFile_ItemClick(&items.Item(position));
    items.Item(position).setSelected(true);
}

void frmMain::lstFile_ItemClick(ListItem* Item) {
    if (!Item) {
        return;
    }
    const TargetRecord record = Item->Tag();
    try {
        const auto fileSystem = std::make_unique<FileSystemObject>();
        const File file = fileSystem->GetFile(record[1]);
        lblInfoVal[0]->setText(record[1]);
        lblInfoVal[1]->setText(QString::number(file.Size()));
        lblInfoVal[2]->setText(InfoDateText(file.DateLastModified(), QLocale::system()));
    } catch (const FileError& error) {
        Boxes().Exclamation(error.Description());
    }
}

// ---- list commands -----------------------------------------------------------

void frmMain::cmdAdd_Click() {
    EntryDialogPort* dialog = EntryDialog();
    dialog->SetAdd(true);
    dialog->SetFields(QString(), QString(), QString());
    dialog->ShowModal();
    if (dialog->Cancel()) {
        return;
    }
    SelectList(lstFile->Items().Count());
}

void frmMain::cmdEdit_Click() {
    ListItem* item = lstFile->SelectedItem();
    if (!item) {
        return;
    }
    EntryDialogPort* dialog = EntryDialog();
    dialog->SetAdd(false);
    const TargetRecord record = item->Tag();
    dialog->SetFields(record[0], record[1], record[2]);
    dialog->ShowModal();
    if (dialog->Cancel()) {
        return;
    }
    SelectList(item->Index());
}

void frmMain::fk_Click() {
    ListItems& items = lstFile->Items();
    if (items.Count() == 0) {
        return;
    }
    ListItem* item = lstFile->SelectedItem();
    if (!item) {
        return;
    }
    items.Remove(item->Index());
    if (items.Count() == 0) {
        for (QLabel* label : lblInfoVal) {
            label->setText(QString());
        }
        return;
    }
    SelectList(1);
}

// ---- the window shell --------------------------------------------------------

void frmMain::lstFile_OLEDragDrop(const QStringList& files) {
    if (files.isEmpty()) {
        return;
    }
    EntryDialogPort* dialog = EntryDialog();
    dialog->SetAdd(true);
    dialog->SetFields(QString(), files.first(), QString());
    dialog->ShowModal();
}

void frmMain::mnuFileItem_Click(int /*Index*/) {
    close();
}

void frmMain::mnuHelpItem_Click(int /*Index*/) {
    Boxes().Plain(VersionText(QStringLiteral(TARNWICK_EXE_NAME), TARNWICK_VERSION_MAJOR,
                              TARNWICK_VERSION_MINOR, TARNWICK_VERSION_REVISION));
}

void frmMain::cmdOptimize_Click() {
    frmMainRunView view(*this, m_services.sleep);
    CompactionRun::EngineFactory engines = m_services.engines;
    if (!engines) {
        engines = [] { return std::make_unique<JetEngine>(); };
    }
    CompactionRun(view, Boxes(), std::move(engines), [] {
        return std::make_unique<FileSystemObject>();
    }).Run();
}
