#pragma once
// The program's message boxes: modal, one OK button, title "Tarnwick".
// Code that reports takes a MessageBoxes& so that tests can record instead
// of showing a modal box.

#include <QString>

class QWidget;

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    // A failure report: exclamation icon.
    virtual void Exclamation(const QString& text) = 0;
    // The version box: no icon.
    virtual void Plain(const QString& text) = 0;
};

// The real boxes (QMessageBox), parented to `parent` when given.
class QtMessageBoxes : public MessageBoxes {
  public:
    explicit QtMessageBoxes(QWidget* parent = nullptr) : parent_(parent) {}
    void Exclamation(const QString& text) override;
    void Plain(const QString& text) override;

  private:
    QWidget* parent_;
};

// The application title shown on every box.
inline const char* const kAppTitle = "Tarnwick";
