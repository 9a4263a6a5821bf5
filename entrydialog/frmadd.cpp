#include "entrydialog/frmadd.h"

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cmath>
#include <exception>

#include "compaction/filesystem.h"
#include "entrydialog/targetsink.h"
#include "entrydialog/windoworder.h"
#include "platform/messagebox.h"

int TwipsToPixels(int twips, double dotsPerInch) {
    return static_cast<int>(std::lround(twips * dotsPerInch / 1440.0));
}

// The dialog's window with its controls. It lives from a loading of frmAdd to
// its unloading; frmAdd outlives it.
class frmAdd::Window : public QDialog {
  public:
    Window(frmAdd& form, QWidget* owner, FilePicker& picker)
        : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                             Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
          m_form(form),
          dlgOpen(picker) {
        setObjectName(QStringLiteral("frmAdd"));
        setWindowTitle(QStringLiteral("Add"));
        setWindowModality(Qt::ApplicationModal);

        const QScreen* screen =
            owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen();
        const double dpi = screen != nullptr ? screen->logicalDotsPerInchX() : 96.0;
        const auto place = [dpi](QWidget* w, int left, int top, int width, int height) {
            w->setGeometry(TwipsToPixels(left, dpi), TwipsToPixels(top, dpi),
                           TwipsToPixels(width, dpi), TwipsToPixels(height, dpi));
        };
        setFixedSize(TwipsToPixels(6210, dpi), TwipsToPixels(2085, dpi));

        fraAdd = new QGroupBox(this);
        fraAdd->setObjectName(QStringLiteral("fraAdd"));
        place(fraAdd, 120, 60, 5985, 1455);

        const char* const captions[3] = {"Caption : ", "MDB file path : ", "Password : "};
        for (int i = 0; i < 3; ++i) {
            lblAdd[i] = new QLabel(QString::fromLatin1(captions[i]), fraAdd);
            lblAdd[i]->setObjectName(QStringLiteral("lblAdd%1").arg(i));
            lblAdd[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            place(lblAdd[i], 90, 300 + 360 * i, 1305, 255);
        }

        txtCaption = new QLineEdit(fraAdd);
        txtCaption->setObjectName(QStringLiteral("txtCaption"));
        place(txtCaption, 1410, 270, 4335, 270);

        txtFile = new QLineEdit(fraAdd);
        txtFile->setObjectName(QStringLiteral("txtFile"));
        place(txtFile, 1410, 630, 3975, 270);

        cmdOpen = new QPushButton(QStringLiteral("..."), fraAdd);
        cmdOpen->setObjectName(QStringLiteral("cmdOpen"));
        place(cmdOpen, 5460, 630, 285, 255);

        txtPasswd = new QLineEdit(fraAdd);
        txtPasswd->setObjectName(QStringLiteral("txtPasswd"));
        txtPasswd->setEchoMode(QLineEdit::Password);
        // Every character of the password shows as '*' (42), whatever the style.
        txtPasswd->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
        place(txtPasswd, 1410, 990, 4335, 270);

        cmdOK = new QPushButton(QStringLiteral("OK"), this);
        cmdOK->setObjectName(QStringLiteral("cmdOK"));
        cmdOK->setDefault(true);
        place(cmdOK, 3540, 1620, 1215, 375);

        cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
        cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
        place(cmdCancel, 4890, 1620, 1215, 375);

        FitFontToLabels();

        setTabOrder(cmdOK, cmdCancel);
        setTabOrder(cmdCancel, txtCaption);
        setTabOrder(txtCaption, txtFile);
        setTabOrder(txtFile, cmdOpen);
        setTabOrder(cmdOpen, txtPasswd);
        cmdOK->setFocus();

        connect(cmdOpen, &QPushButton::clicked, this, [this] { m_form.cmdOpen_Click(); });
        connect(cmdOK, &QPushButton::clicked, this, [this] { m_form.cmdOK_Click(); });
        connect(cmdCancel, &QPushButton::clicked, this, [this] { m_form.cmdCancel_Click(); });
    }

    // The close box (and whatever else closes the window): unload, Cancel as it is.
    void reject() override { m_form.Unload(); }

  private:
    // The boxes are sized for the classic 8-point dialog font; a larger
    // desktop font would cut the labels off at the left. The dialog's font is
    // made smaller, in half points, until every label's caption fits.
    void FitFontToLabels() {
        QFont f = font();
        const auto fits = [this](const QFont& candidate) {
            const QFontMetrics metrics(candidate);
            for (const QLabel* label : lblAdd) {
                if (metrics.horizontalAdvance(label->text()) > label->width())
                    return false;
            }
            return true;
        };
        bool bChanged = false;
        while (!fits(f)) {
            if (f.pointSizeF() > 6.0)
                f.setPointSizeF(f.pointSizeF() - 0.5);
            else if (f.pointSizeF() <= 0 && f.pixelSize() > 8)
                f.setPixelSize(f.pixelSize() - 1);
            else
                break;
            bChanged = true;
        }
        if (bChanged)
            setFont(f);
    }

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        // Escape presses the Cancel button.
        if (event->matches(QKeySequence::Cancel)) {
            cmdCancel->click();
            return;
        }
        QDialog::keyPressEvent(event);
    }

    void showEvent(QShowEvent* event) override {
        QDialog::showEvent(event);
        if (event->spontaneous())
            return;
        // Activation follows the showing, before any input reaches the window.
        QTimer::singleShot(0, this, [this] {
            if (m_form.m_window == this && isVisible())
                m_form.Form_Activate();
        });
    }

  public:
    frmAdd& m_form;
    CommonDialog dlgOpen;
    QGroupBox* fraAdd = nullptr;
    QLabel* lblAdd[3] = {};
    QLineEdit* txtCaption = nullptr;
    QLineEdit* txtFile = nullptr;
    QPushButton* cmdOpen = nullptr;
    QLineEdit* txtPasswd = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;
};

frmAdd::frmAdd(TargetSink& sink, MessageBoxes& boxes, FileSystemFactory fileSystem, QWidget* owner,
               FilePicker* picker)
    : m_sink(sink),
      m_boxes(boxes),
      m_fileSystem(std::move(fileSystem)),
      m_owner(owner),
      m_ownPicker(picker == nullptr ? std::make_unique<QtFilePicker>() : nullptr),
      m_picker(picker != nullptr ? *picker : *m_ownPicker) {}

frmAdd::~frmAdd() {
    delete m_window.data();
    delete m_retired.data();
}

frmAdd::Window* frmAdd::Loaded() {
    if (m_window == nullptr) {
        DropRetiredWindow();
        m_window = new Window(*this, m_owner, m_picker);
        Form_Load();
    }
    return m_window;
}

void frmAdd::DropRetiredWindow() {
    delete m_retired.data();
    m_retired = nullptr;
}

bool frmAdd::IsLoaded() const {
    return m_window != nullptr;
}

QLineEdit* frmAdd::txtCaption() {
    return Loaded()->txtCaption;
}
QLineEdit* frmAdd::txtFile() {
    return Loaded()->txtFile;
}
QLineEdit* frmAdd::txtPasswd() {
    return Loaded()->txtPasswd;
}
QPushButton* frmAdd::cmdOpen() {
    return Loaded()->cmdOpen;
}
QPushButton* frmAdd::cmdOK() {
    return Loaded()->cmdOK;
}
QPushButton* frmAdd::cmdCancel() {
    return Loaded()->cmdCancel;
}
CommonDialog* frmAdd::dlgOpen() {
    return &Loaded()->dlgOpen;
}
QLabel* frmAdd::lblAdd(int index) {
    return Loaded()->lblAdd[index];
}
QGroupBox* frmAdd::fraAdd() {
    return Loaded()->fraAdd;
}
QDialog* frmAdd::window() {
    return Loaded();
}

void frmAdd::ShowModal() {
    Window* w = Loaded();
    if (w->isVisible() || m_bInExec)
        return;
    m_bInExec = true;
    w->exec();
    m_bInExec = false;
    if (m_window == w)
        Unload();
    DropRetiredWindow();
}

void frmAdd::Unload() {
    if (m_window == nullptr)
        return;
    Window* w = m_window;
    m_window = nullptr;
    // The window may be the sender of the click that got us here, so it is
    // hidden now and destroyed later: after the modal showing returns, at
    // the next loading, or with this object.
    DropRetiredWindow();
    m_retired = w;
    w->done(QDialog::Rejected);
}

void frmAdd::Form_Load() {
    m_bCancel = false;
    CommonDialog* dlg = dlgOpen();
    dlg->Filter = QString::fromLatin1(kMdbFilter);
    dlg->Flags |= cdlOFNHideReadOnly;
}

void frmAdd::Form_Activate() {
    QLineEdit* caption = txtCaption();
    caption->setEnabled(m_bAdd);
    QPalette palette = caption->palette();
    const QPalette system = QApplication::palette(caption);
    palette.setColor(QPalette::Base, m_bAdd ? system.color(QPalette::Active, QPalette::Base)
                                            : system.color(QPalette::Active, QPalette::Button));
    caption->setPalette(palette);
    SetWindowPos(window(), WindowInsertAfter::HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void frmAdd::cmdOpen_Click() {
    CommonDialog* dlg = dlgOpen();
    try {
        dlg->ShowOpen(window());
    } catch (const CommonDialogError& e) {
        if (e.Number() != cdlCancel)
            m_boxes.Exclamation(e.Description());
        return;
    }
    txtFile()->setText(dlg->FileName);
}

void frmAdd::cmdOK_Click() {
    QLineEdit* caption = txtCaption();
    const QString strCaption = caption->text().trimmed();
    if (strCaption != caption->text())
        caption->setText(strCaption);
    if (strCaption.isEmpty()) {
        m_boxes.Exclamation(QStringLiteral("Please enter a caption."));
        return;
    }

    const QString strFile = txtFile()->text();
    bool bExists = false;
    try {
        const std::unique_ptr<FileSystem> fso = m_fileSystem ? m_fileSystem() : nullptr;
        if (fso == nullptr) {
            m_boxes.Exclamation(
                QStringLiteral(
                    "The file service is not available, so '%1' cannot be checked. Please "
                    "restart Tarnwick.")
                    .arg(strFile));
            return;
        }
        bExists = fso->FileExists(strFile);
    } catch (const FileError& e) {
        m_boxes.Exclamation(e.Description());
        return;
    } catch (const std::exception& e) {
        m_boxes.Exclamation(QStringLiteral("Could not check whether '%1' exists: %2")
                                .arg(strFile, QString::fromLocal8Bit(e.what())));
        return;
    }
    if (!bExists) {
        m_boxes.Exclamation(QStringLiteral("'") + strFile + QStringLiteral("'") +
                            QStringLiteral(" is not found."));
        return;
    }

    const QString strPassword = txtPasswd()->text();
    const bool bDone = m_bAdd ? m_sink.AddList(strCaption, strFile, strPassword, true)
                              : m_sink.EditList(strCaption, strFile, strPassword);
    if (bDone)
        Unload();
}

void frmAdd::cmdCancel_Click() {
    m_bCancel = true;
    Unload();
}

frmAddHolder::frmAddHolder(TargetSink& sink, MessageBoxes& boxes, FileSystemFactory fileSystem,
                           QWidget* owner, FilePicker* picker)
    : m_sink(sink),
      m_boxes(boxes),
      m_fileSystem(std::move(fileSystem)),
      m_owner(owner),
      m_picker(picker) {}

frmAddHolder::~frmAddHolder() = default;

frmAdd& frmAddHolder::Get() {
    if (m_form == nullptr)
        m_form = std::make_unique<frmAdd>(m_sink, m_boxes, m_fileSystem, m_owner, m_picker);
    return *m_form;
}
