// Shows the file-open dialog the entry dialog's browse button opens, with the
// database file types, at the top-left corner of the screen for a few
// seconds, for screenshots (see screenshot.sh). Not a test.
//   open_dialog_preview SECONDS FILE-IN-A-FOLDER

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include "entrydialog/commondialog.h"
#include "entrydialog/frmadd.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 5;
    OpenRequest request;
    request.nameFilters = QtNameFilters(QString::fromLatin1(kMdbFilter));
    request.fileName = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    QTimer::singleShot(200, [] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            w->move(0, 0);
        }
    });
    QTimer::singleShot(seconds * 1000, [] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            w->close();
        }
    });
    QtFilePicker picker;
    (void)picker.PickOpen(nullptr, request);
    return 0;
}
