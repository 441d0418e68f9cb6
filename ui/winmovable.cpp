#include "ui/winmovable.h"

#include <QMouseEvent>
#include <QWidget>

WinMovable::WinMovable(QWidget* target) : QObject(nullptr), m_target(target) {
    if (m_target) {
        m_target->installEventFilter(this);
    }
}

bool WinMovable::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_target) {
        switch (event->type()) {
        case QEvent::MouseButtonPress: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            m_pressPos = mouse->position().toPoint();
            m_dragging = mouse->button() == Qt::LeftButton;
            break;
        }
        case QEvent::MouseButtonRelease:
            m_dragging = false;
            break;
        case QEvent::MouseMove: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (m_dragging && !m_pressPos.isNull()) {
                m_target->move(m_target->pos() + (mouse->position().toPoint() - m_pressPos));
            }
            break;
        }
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}
