// The app-icon model behind the main window's lists.

#include "tests/app/datarows.h"
#include "ui/itemmodel.h"

#include <QAbstractItemModelTester>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPixmap>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

// The tables of the data-driven cases, and their other fixture data.
const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/ui/tst_itemmodel.json");
class TestItemModel : public QObject {
    Q_OBJECT

private:
    static _APPIconItemNode* makeNode(const QString& name, bool checked = true, bool hidden = false,
                                      const QString& icon = QString()) {
        return new _APPIconItemNode(nullptr, _IOSAppInfo(QStringLiteral("com.example.") + name, name), icon, checked,
                                    hidden);
    }

private slots:
    void caption_data() { addRowsFrom(kTables, "caption"); }

    void caption() {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        ItemModelAppIcon model;
        auto* node = makeNode(name);
        node->size = size;
        model.addNode(node);
        model.contentsUpdate();
        const QModelIndex index = model.index(0, 0);
        QTEST(model.data(index, Qt::DisplayRole).toString(), "expected");
        QCOMPARE(model.data(index, Qt::ToolTipRole).toString(), name);
    }

    void setData_data() { addRowsFrom(kTables, "setData"); }

    // From a checked node; a hidden one shows no box at all.
    void setData() {
        QFETCH(bool, hidden);
        QFETCH(QString, role);
        QFETCH(int, value);
        ItemModelAppIcon model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.addNode(makeNode(QStringLiteral("B"), false));
        model.addNode(makeNode(QStringLiteral("A"), true, hidden));
        model.contentsUpdate();
        QCOMPARE(model.data(model.index(0, 0), Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        QCOMPARE(model.data(model.index(1, 0), Qt::CheckStateRole), hidden ? QVariant() : QVariant(int(Qt::Checked)));
        QVERIFY(model.flags(model.index(0, 0)) & Qt::ItemIsUserCheckable);
        QCOMPARE(model.indexOfItemNode(model.node(1)).row(), 1);
        QSignalSpy checkedSpy(&model, &ItemModelAppIcon::itemChecked);
        QSignalSpy changedSpy(&model, &QAbstractItemModel::dataChanged);
        QTEST(model.setData(model.index(1, 0), value, role == u"check"_s ? Qt::CheckStateRole : Qt::EditRole),
              "accepted");
        QTEST(model.node(1)->checked, "checkedAfter");
        QTEST(int(checkedSpy.count()), "signals");
        QCOMPARE(changedSpy.count(), role == u"check"_s ? 1 : 0);
        QVERIFY(checkedSpy.isEmpty() || checkedSpy.first().first().value<APPIconItemNode*>() == model.node(1));
    }

    void icons_data() { addRowsFrom(kTables, "icons"); }

    void icons() {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("iTunesArtwork"));
        QImage source(200, 100, QImage::Format_RGB32);
        source.fill(QColor(10, 200, 30));
        const bool ownImage = kind == QLatin1String("png") || kind == QLatin1String("jpeg");
        if (ownImage) {
            QVERIFY(source.save(path, kind.toLatin1().constData()));
        } else if (kind == QLatin1String("garbage")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("\x89PNX not really an image") > 0);
        } else if (kind == QLatin1String("empty")) {
            path.clear();
        }
        ItemModelAppIcon model;
        model.addNode(makeNode(QStringLiteral("A"), true, false, path));
        const QPixmap pixmap = model.data(model.index(0, 0), Qt::DecorationRole).value<QPixmap>();
        QCOMPARE(pixmap.size(), QSize(64, 64));
        const QColor centre = pixmap.toImage().pixelColor(32, 32);
        if (ownImage) {
            QVERIFY2(qAbs(centre.green() - 200) < 20 && centre.red() < 40, qPrintable(centre.name()));
        } else {
            QImage fallback(QStringLiteral(":res/def_app.png"), "PNG");
            QCOMPARE(pixmap.toImage().convertToFormat(QImage::Format_ARGB32),
                     fallback.scaled(64, 64, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                         .convertToFormat(QImage::Format_ARGB32));
        }
    }

    void clearChilds() {
        ItemModelAppIcon model;
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        model.clearChilds(nullptr); // an empty model announces no removal
        QCOMPARE(removed.count(), 0);

        model.addNode(makeNode(QStringLiteral("A")));
        model.addNode(makeNode(QStringLiteral("B")));
        model.contentsUpdate();
        model.clearChilds(nullptr);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.first().mid(1), (QVariantList{0, 1}));
        QCOMPARE(model.rowCount(), 0);
    }
};

QTEST_MAIN(TestItemModel)
#include "tst_itemmodel.moc"
