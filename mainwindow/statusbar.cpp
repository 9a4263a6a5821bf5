#include "mainwindow/statusbar.h"

StatusBar::StatusBar(QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::NoFrame);
}

void StatusBar::AddPanel(int width) {
    auto* panel = new QLabel(this);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    panel->setIndent(2);
    // The panels fill the bar's height less a two-pixel margin above.
    panel->setGeometry(m_nRight, 2, width, std::max(0, height() - 2));
    m_nRight += width;
    m_panels.push_back(panel);
}

QLabel* StatusBar::Panel(int index) const {
    if (index < 1 || index > PanelCount()) {
        return nullptr;
    }
    return m_panels[static_cast<std::size_t>(index - 1)];
}
