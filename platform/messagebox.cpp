#include "platform/messagebox.h"

#include <QMessageBox>

namespace {

void show(QWidget* parent, QMessageBox::Icon icon, const QString& text) {
    QMessageBox box(icon, QString::fromLatin1(kAppTitle), text, QMessageBox::Ok, parent);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

}  // namespace

void QtMessageBoxes::Exclamation(const QString& text) {
    show(parent_, QMessageBox::Warning, text);
}

void QtMessageBoxes::Plain(const QString& text) {
    show(parent_, QMessageBox::NoIcon, text);
}
