#pragma once
// The window order of the desktop, in the shape the dialogs are written
// against: SetWindowPos with an insert-after position and SWP_ flags.
//
// Qt has one layer above the normal windows (Qt::WindowStaysOnTopHint); the
// topmost / not-topmost positions move a window into or out of it. The top and
// bottom positions raise and lower the window within its layer.

class QWidget;

enum class WindowInsertAfter : int {
    HWND_TOP = 0,
    HWND_BOTTOM = 1,
    HWND_TOPMOST = -1,
    HWND_NOTOPMOST = -2,
};

inline constexpr unsigned SWP_NOSIZE = 0x1;
inline constexpr unsigned SWP_NOMOVE = 0x2;
inline constexpr unsigned SWP_NOZORDER = 0x4;

// Places the top-level window `hWnd`: into the layer or position named by
// `hWndInsertAfter` (unless SWP_NOZORDER), at X, Y (unless SWP_NOMOVE), with
// the size cx × cy (unless SWP_NOSIZE). A window that is shown stays shown,
// and one that is hidden stays hidden. False when there is no window.
bool SetWindowPos(QWidget* hWnd, WindowInsertAfter hWndInsertAfter, int X, int Y, int cx, int cy,
                  unsigned uFlags);
