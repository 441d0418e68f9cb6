#pragma once

// The About dialog: product picture, display name and version.

#include "ui/winmovable.h"

#include <QDialog>

class QGraphicsView;
class QLabel;
class QPushButton;

class AboutUsForm : public QDialog {
    Q_OBJECT
public:
    explicit AboutUsForm(QWidget* parent = nullptr);

private:
    WinMovable m_movable;
    QLabel* m_lbTitle;
    QGraphicsView* m_picApp;
    QLabel* m_lbProduct;
    QPushButton* m_btnOK;
};
