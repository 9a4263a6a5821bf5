#pragma once
// frmMain: the program's one top-level window. It keeps the target list
// (lstFile), shows the selected target's file facts in "File Info.", carries
// the list commands, the "&Optimize" button, the menus and the drop of files
// onto the list, reads the list from "Tarnwick.ini" when it loads and writes
// it back whenever it closes.

#include <QMainWindow>
#include <QString>
#include <array>
#include <functional>
#include <memory>

#include "compaction/compactionrun.h"
#include "compaction/filesystem.h"
#include "entrydialog/targetsink.h"
#include "mainwindow/entrydialogport.h"
#include "mainwindow/listview.h"
#include "mainwindow/statusbar.h"

class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QToolButton;
class MessageBoxes;

// The window's surroundings. Every member left empty means the real thing;
// tests replace single ones to record or to force a failure.
struct frmMainServices {
    MessageBoxes* boxes = nullptr;  // not owned; must outlive the window
    QString appDir;                 // where "Tarnwick.ini" lives; empty: the executable's folder
    EntryDialogFactory entryDialogs;
    CompactionRun::EngineFactory engines;             // for "&Optimize"
    CompactionRun::FileSystemFactory runFileSystems;  // for "&Optimize"
    std::function<void(int)> sleep;                   // the run's pause, in milliseconds
};

// GetAppPath's rule: the folder followed by exactly one "/".
QString AppPathFrom(const QString& strDir);

// The version box's text, e.g. "Tarnwick version 1.0.381".
QString VersionText(const QString& strExeName, int major, int minor, int revision);

class frmMain : public QMainWindow, public TargetSink {
    Q_OBJECT
  public:
    // Builds the window and runs its load handler (fills the list from the
    // settings file and selects the first target).
    explicit frmMain(frmMainServices services = {}, QWidget* parent = nullptr);
    ~frmMain() override;

    // TargetSink: the entry dialog hands finished targets here.
    bool AddList(const QString& strCaption, const QString& strFile, const QString& strPassword,
                 bool bEnable) override;
    bool EditList(const QString& strCaption, const QString& strFile,
                  const QString& strPassword) override;

    // Controls, named as the window's designer named them.
    ListView* lstFile = nullptr;
    QLabel* lblMain = nullptr;
    QPushButton* cmdAdd = nullptr;
    QPushButton* cmdEdit = nullptr;
    QPushButton* fk = nullptr;  // "&Delete"
    QToolButton* cmdOptimize = nullptr;
    QGroupBox* fraInfo = nullptr;
    std::array<QLabel*, 3> lblInfo{};
    std::array<QLabel*, 3> lblInfoVal{};
    StatusBar* stbrMain = nullptr;
    QProgressBar* prgBar = nullptr;
    QMenu* mnuFile = nullptr;
    std::array<QAction*, 1> mnuFileItem{};
    QMenu* mnuHelp = nullptr;
    std::array<QAction*, 1> mnuHelpItem{};

    // Pixels for a length in twips at this screen's resolution.
    int Twips(int twips) const;

  public slots:
    void cmdAdd_Click();
    void cmdEdit_Click();
    void fk_Click();
    void cmdOptimize_Click();
    void lstFile_ItemClick(ListItem* Item);
    void lstFile_OLEDragDrop(const QStringList& files);
    void mnuFileItem_Click(int Index);
    void mnuHelpItem_Click(int Index);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    friend class frmMainTest;

    void BuildControls();
    void Form_Load();
    void Form_Unload();
    void SelectList(int position);
    QString GetAppPath() const;
    EntryDialogPort* EntryDialog();
    MessageBoxes& Boxes();

    frmMainServices m_services;
    std::unique_ptr<MessageBoxes> m_ownBoxes;
    std::unique_ptr<EntryDialogPort> m_frmAdd;
    double m_dScale = 1.0;
};
