#pragma once
// The file-open dialog of the entry dialog (its `dlgOpen`).
//
// CommonDialog keeps what the dialog is set up with (Filter, Flags) and what
// it remembers (FileName), and ShowOpen() asks a FilePicker to let the user
// choose a file. The picker is the window system's part: QtFilePicker shows a
// QFileDialog; tests hand in a scripted one so that nothing modal runs.

#include <QString>
#include <QStringList>
#include <stdexcept>

class QWidget;

// Flag of the file-open dialog: offer no choice to open the file read-only.
// Qt's file dialog never offers one, so the flag is kept for what it says.
inline constexpr int cdlOFNHideReadOnly = 0x4;

// Error number of a file-open dialog that the user cancelled.
inline constexpr int cdlCancel = 32755;
// Error number of any other failure of the file-open dialog.
inline constexpr int cdlDialogFailure = 32751;

// A failure of ShowOpen: the user's cancel (Number() == cdlCancel) or a real
// failure, whose Description() is shown to the user.
class CommonDialogError : public std::runtime_error {
  public:
    CommonDialogError(int number, const QString& description)
        : std::runtime_error(description.toStdString()),
          m_nNumber(number),
          m_strDescription(description) {}
    int Number() const { return m_nNumber; }
    const QString& Description() const { return m_strDescription; }

  private:
    int m_nNumber;
    QString m_strDescription;
};

// What the picker is asked to show.
struct OpenRequest {
    QStringList nameFilters;  // in Qt's form, "Description (*.ext)"
    int flags = 0;
    QString fileName;  // the file chosen last time, or empty
};

// What came back from the picker.
struct PickOutcome {
    enum class Status { Chosen, Cancelled, Failed };
    Status status = Status::Cancelled;
    QString fileName;     // the chosen file's full path (Chosen)
    QString description;  // what went wrong (Failed)
};

class FilePicker {
  public:
    virtual ~FilePicker() = default;
    // Lets the user choose one file; modal over `parent`.
    virtual PickOutcome PickOpen(QWidget* parent, const OpenRequest& request) = 0;
};

// The real picker: a QFileDialog that lets the user choose one existing file.
class QtFilePicker : public FilePicker {
  public:
    PickOutcome PickOpen(QWidget* parent, const OpenRequest& request) override;
};

// Turns a filter of the form "Description|pattern[|Description|pattern...]"
// (patterns separated by ';') into Qt name filters. The description is kept as
// written; the patterns are added in brackets unless the description already
// ends with exactly them. Surrounding blanks of each pattern are dropped.
QStringList QtNameFilters(const QString& strFilter);

class CommonDialog {
  public:
    explicit CommonDialog(FilePicker& picker) : m_picker(picker) {}

    QString Filter;
    int Flags = 0;
    QString FileName;

    // Shows the file-open dialog over `parent`. On success FileName holds the
    // chosen file's full path; a cancel throws CommonDialogError with
    // cdlCancel, any other failure CommonDialogError with its description.
    void ShowOpen(QWidget* parent);

  private:
    FilePicker& m_picker;
};
