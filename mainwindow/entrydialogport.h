#pragma once
// How the main window drives the entry dialog: set the mode, fill the three
// fields in order, show it modally, read Cancel. The real one is frmAdd
// (entrydialog/); tests hand the window a scripted one instead.

#include <QString>
#include <functional>
#include <memory>

class TargetSink;
class MessageBoxes;
class QWidget;

class EntryDialogPort {
  public:
    virtual ~EntryDialogPort() = default;
    // m_bAdd: true adds a new target, false edits the one whose caption is shown.
    virtual void SetAdd(bool bAdd) = 0;
    // txtCaption, txtFile and txtPasswd, set in that order.
    virtual void SetFields(const QString& strCaption, const QString& strFile,
                           const QString& strPassword) = 0;
    // Shows the dialog application-modally and returns when it has closed.
    // While it waits, the dialog's OK calls AddList / EditList on the sink.
    virtual void ShowModal() = 0;
    // True when the user left through the Cancel button (or Escape).
    virtual bool Cancel() const = 0;
};

// Makes the program's one entry dialog, on first use; it reports to `sink`.
using EntryDialogFactory =
    std::function<std::unique_ptr<EntryDialogPort>(TargetSink& sink, MessageBoxes& boxes)>;

// The real entry dialog (frmAdd), centred over `owner` when it is shown.
std::unique_ptr<EntryDialogPort> MakeFrmAddPort(TargetSink& sink, MessageBoxes& boxes,
                                                QWidget* owner);
