// Shows the entry dialog in edit mode at the top-left corner of the screen
// for a few seconds, for screenshots (see screenshot.sh). Not a test.

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QTimer>

#include "entrydialog/frmadd.h"
#include "fakes.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 5;

    RecordingBoxes boxes;
    RecordingSink sink{boxes};
    ScriptedFileSystem::State files;
    ScriptedPicker picker;
    frmAdd form(sink, boxes, ScriptedFileSystem::Factory(files), nullptr, &picker);

    form.m_bAdd = false;
    form.txtCaption()->setText(QStringLiteral("Northwind"));
    form.txtFile()->setText(QStringLiteral("/srv/access/northwind.mdb"));
    form.txtPasswd()->setText(QStringLiteral("secret"));
    form.window()->move(0, 0);
    QTimer::singleShot(seconds * 1000, [&form] { form.cmdCancel_Click(); });
    form.ShowModal();
    return 0;
}
