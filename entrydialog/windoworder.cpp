#include "entrydialog/windoworder.h"

#include <QWidget>

namespace {

// Moves the window into or out of the stay-on-top layer. Qt re-creates the
// native window when its flags change, which hides it; it is shown again at
// the place it had.
void SetStaysOnTop(QWidget* w, bool bOnTop) {
    if (w->windowFlags().testFlag(Qt::WindowStaysOnTopHint) == bOnTop)
        return;
    const bool bVisible = w->isVisible();
    const QPoint pos = w->pos();
    w->setWindowFlag(Qt::WindowStaysOnTopHint, bOnTop);
    w->move(pos);
    if (bVisible)
        w->show();
}

}  // namespace

bool SetWindowPos(QWidget* hWnd, WindowInsertAfter hWndInsertAfter, int X, int Y, int cx, int cy,
                  unsigned uFlags) {
    if (hWnd == nullptr)
        return false;
    QWidget* w = hWnd->window();
    if (!(uFlags & SWP_NOZORDER)) {
        switch (hWndInsertAfter) {
            case WindowInsertAfter::HWND_TOPMOST:
                SetStaysOnTop(w, true);
                w->raise();
                break;
            case WindowInsertAfter::HWND_NOTOPMOST:
                SetStaysOnTop(w, false);
                break;
            case WindowInsertAfter::HWND_TOP:
                w->raise();
                break;
            case WindowInsertAfter::HWND_BOTTOM:
                w->lower();
                break;
        }
    }
    if (!(uFlags & SWP_NOMOVE))
        w->move(X, Y);
    if (!(uFlags & SWP_NOSIZE))
        w->resize(cx, cy);
    return true;
}
