#include "ui/aboutusform.h"

#include "app/errreport.h"
#include "ui/stylesheet.h"

#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

AboutUsForm::AboutUsForm(QWidget* parent)
    : QDialog(parent), m_movable(this), m_lbTitle(new QLabel(this)), m_picApp(new QGraphicsView(this)),
      m_lbProduct(new QLabel(this)), m_btnOK(new QPushButton(this)) {
    setObjectName(QStringLiteral("AboutUsForm"));
    resize(400, 194);
    setWindowTitle(tr("Dialog"));

    m_lbTitle->setObjectName(QStringLiteral("lbTitle"));
    m_lbTitle->setGeometry(20, 10, 121, 16);
    m_lbTitle->setText(tr("About"));

    m_picApp->setObjectName(QStringLiteral("picApp"));
    m_picApp->setGeometry(20, 40, 64, 64);
    m_picApp->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_picApp->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_picApp->setStyleSheet(QStringLiteral("background:Transparent;border:0;"));

    m_lbProduct->setObjectName(QStringLiteral("lbProduct"));
    m_lbProduct->setGeometry(100, 48, 281, 31);
    m_lbProduct->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_lbProduct->setWordWrap(true);

    m_btnOK->setObjectName(QStringLiteral("btnOK"));
    m_btnOK->setGeometry(160, 160, 75, 23);
    m_btnOK->setText(tr("OK"));
    connect(m_btnOK, &QPushButton::pressed, this, &QDialog::accept);

    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(getStyleSheet());

    m_lbProduct->setText(QStringLiteral("%1 v%2").arg(prodDisplayName(), QLatin1String(kProductVersion)));

    auto* scene = new QGraphicsScene(this);
    const QPixmap picture(QStringLiteral(":main"));
    if (!picture.isNull()) {
        scene->addPixmap(picture.scaledToHeight(64, Qt::FastTransformation));
    }
    m_picApp->setScene(scene);
}
