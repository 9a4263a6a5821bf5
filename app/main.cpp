// Tarnwick starts by loading its main window, nothing else.

#include <QApplication>
#include <QThread>
#include <cstdio>
#include <cstdlib>

#include "jet/compact/compact.h"
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

// Screenshot mode, for the documentation only (scripts/screenshots.sh): with
// TARNWICK_SCREENSHOT_RUN_DELAY_MS set, every compaction of "&Optimize" waits
// that long before the real engine runs, so that a picture can catch a run
// half-way. Nothing else reads the environment.
class DelayedEngine : public DatabaseEngine {
  public:
    explicit DelayedEngine(unsigned long milliseconds) : m_nDelay(milliseconds) {}
    void CompactDatabase(const QString& source, const QString& destination) override {
        QThread::msleep(m_nDelay);
        m_engine.CompactDatabase(source, destination);
    }

  private:
    unsigned long m_nDelay;
    JetEngine m_engine;
};

frmMainServices ScreenshotServices() {
    frmMainServices services;
    if (const char* delay = std::getenv("TARNWICK_SCREENSHOT_RUN_DELAY_MS")) {
        const unsigned long milliseconds = std::strtoul(delay, nullptr, 10);
        services.engines = [milliseconds] { return std::make_unique<DelayedEngine>(milliseconds); };
    }
    return services;
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
    jet::return_large_blocks_when_freed();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setDesktopFileName(QStringLiteral("tarnwick"));
    frmMain form(ScreenshotServices());
    form.show();
    return QApplication::exec();
}
