#pragma once
// stbrMain's control: a status bar of fixed-width sunken panels laid side by
// side from the left edge, counted from 1. Panels reaching past the right edge
// are cut off there, as the window is narrower than the panels together.

#include <QFrame>
#include <QLabel>
#include <vector>

class StatusBar : public QFrame {
    Q_OBJECT
  public:
    explicit StatusBar(QWidget* parent = nullptr);

    // Appends a panel of the given width in pixels.
    void AddPanel(int width);
    int PanelCount() const { return static_cast<int>(m_panels.size()); }
    // The panel at a 1-based position (nullptr when there is none).
    QLabel* Panel(int index) const;

  private:
    std::vector<QLabel*> m_panels;
    int m_nRight = 0;
};
