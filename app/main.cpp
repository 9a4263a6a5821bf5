// Tarnwick starts by loading its main window, nothing else.

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "mainwindow/frmmain.h"

namespace {

// Qt aborts without a display to show windows on; say so plainly instead.
bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (!HasDisplay()) {
        std::fputs(
            "Tarnwick needs a graphical display, and none was found (DISPLAY and WAYLAND_DISPLAY "
            "are not set).\nStart it from a desktop session, or under a virtual display: "
            "xvfb-run -a Tarnwick\n",
            stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setDesktopFileName(QStringLiteral("tarnwick"));
    frmMain form;
    form.show();
    return QApplication::exec();
}
