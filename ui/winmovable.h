#pragma once

// Makes a frameless window draggable with the left mouse button.
//
// Installs itself as event filter on the target and never consumes an event.
// The press position is kept while moving, so the grabbed point stays under
// the cursor; a press at exactly (0, 0) starts no drag.

#include <QObject>
#include <QPoint>

class QWidget;

class WinMovable : public QObject {
    Q_OBJECT
public:
    explicit WinMovable(QWidget* target);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_target; // not owned
    QPoint m_pressPos;
    bool m_dragging = false;
};
