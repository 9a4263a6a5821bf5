#pragma once
// The entry dialog, frmAdd: one target is entered or changed here.
//
// How the main window uses it
// ---------------------------
//   // Once, in the main window (it owns the holder; the dialog is made on
//   // first use and kept for the run):
//   frmAddHolder m_frmAdd{*this /* TargetSink& */, m_boxes /* MessageBoxes& */,
//                         [] { return std::make_unique<FileSystemObject>(); },
//                         this /* owner: the dialog is centred over it */};
//
//   // Add (Edit is the same with m_bAdd = false and the record's texts):
//   frmAdd& dlg = m_frmAdd.Get();
//   dlg.m_bAdd = true;
//   dlg.txtCaption()->setText(QString());  // the first field access loads
//   dlg.txtFile()->setText(QString());     // the dialog (Form_Load runs,
//   dlg.txtPasswd()->setText(QString());   // Cancel reads false again)
//   dlg.ShowModal();                       // returns once the dialog is closed;
//                                          // AddList / EditList on the sink
//                                          // run nested inside this call
//   if (dlg.Cancel()) return;              // true only for Cancel / Escape
//
// The dialog reports through the MessageBoxes it was given, asks the
// FileSystem made by the factory (one per OK press) whether the path names a
// file, and hands accepted targets to the TargetSink. A FilePicker may be
// passed to script the file-open dialog in tests; without one the real
// QFileDialog is used.

#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

#include "entrydialog/commondialog.h"

class FileSystem;
class MessageBoxes;
class QDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;
class TargetSink;

// Makes the file service used for one OK press.
using FileSystemFactory = std::function<std::unique_ptr<FileSystem>()>;

// Twips (1440 to the inch) to pixels at `dotsPerInch` (15 twips a pixel at 96).
int TwipsToPixels(int twips, double dotsPerInch);

// The filter of dlgOpen: one file type, the description before '|' and the
// pattern after it.
inline const char* const kMdbFilter =
    "Microsoft Office Access Database (*.mdb;*.accdb) | *.mdb;*.accdb";

class frmAdd {
  public:
    frmAdd(TargetSink& sink, MessageBoxes& boxes, FileSystemFactory fileSystem,
           QWidget* owner = nullptr, FilePicker* picker = nullptr);
    ~frmAdd();
    frmAdd(const frmAdd&) = delete;
    frmAdd& operator=(const frmAdd&) = delete;

    // True: a new target is added; false: the target whose caption is shown
    // is edited. Set by the opener before every showing.
    bool m_bAdd = false;

    // True when the dialog was closed with its Cancel button (or Escape).
    bool Cancel() const { return m_bCancel; }

    // The controls. Reaching any of them loads the dialog when it is not
    // loaded (Form_Load runs first).
    QLineEdit* txtCaption();
    QLineEdit* txtFile();
    QLineEdit* txtPasswd();
    QPushButton* cmdOpen();
    QPushButton* cmdOK();
    QPushButton* cmdCancel();
    CommonDialog* dlgOpen();
    QLabel* lblAdd(int index);  // 0 caption, 1 path, 2 password
    QGroupBox* fraAdd();
    QDialog* window();

    // Shows the dialog application-modally; returns when it has been unloaded.
    void ShowModal();

    bool IsLoaded() const;
    // Closes the window and destroys it with its fields and dlgOpen; the
    // flags stay.
    void Unload();

    // Event handlers.
    void Form_Load();
    void Form_Activate();
    void cmdOpen_Click();
    void cmdOK_Click();
    void cmdCancel_Click();

  private:
    class Window;

    Window* Loaded();
    void DropRetiredWindow();

    TargetSink& m_sink;
    MessageBoxes& m_boxes;
    FileSystemFactory m_fileSystem;
    QPointer<QWidget> m_owner;
    std::unique_ptr<FilePicker> m_ownPicker;
    FilePicker& m_picker;

    bool m_bCancel = false;
    bool m_bInExec = false;
    QPointer<Window> m_window;   // the loaded window, if any
    QPointer<Window> m_retired;  // an unloaded window not yet destroyed
};

// Owns the program's one frmAdd and makes it on first use.
class frmAddHolder {
  public:
    frmAddHolder(TargetSink& sink, MessageBoxes& boxes, FileSystemFactory fileSystem,
                 QWidget* owner = nullptr, FilePicker* picker = nullptr);
    ~frmAddHolder();

    frmAdd& Get();
    bool Created() const { return m_form != nullptr; }

  private:
    TargetSink& m_sink;
    MessageBoxes& m_boxes;
    FileSystemFactory m_fileSystem;
    QWidget* m_owner;
    FilePicker* m_picker;
    std::unique_ptr<frmAdd> m_form;
};
