// The app-icon model behind the main window's lists.

#include "ui/itemmodel.h"

#include <QAbstractItemModelTester>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPixmap>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestItemModel : public QObject {
    Q_OBJECT

private:
    static _APPIconItemNode* makeNode(const QString& name, bool checked = true, bool hidden = false,
                                      const QString& icon = QString()) {
        return new _APPIconItemNode(nullptr, _IOSAppInfo(QStringLiteral("com.example.") + name, name), icon, checked,
                                    hidden);
    }

private slots:
    void caption_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("expected");
        QTest::newRow("short, not scanned") << "Maps" << qint64(-1) << "Maps";
        QTest::newRow("12 characters whole") << "ABCDEFGHIJKL" << qint64(-1) << "ABCDEFGHIJKL";
        QTest::newRow("13 characters cut") << "ABCDEFGHIJKLM" << qint64(-1) << "ABCDEFGHI...";
        QTest::newRow("size zero shows") << "Maps" << qint64(0) << "Maps\n(0.0 KB)";
        QTest::newRow("size in MB") << "Maps" << qint64(1048576) << "Maps\n(1.0 MB)";
        QTest::newRow("characters, not bytes")
            << QStringLiteral("Ünïcødé Äpp ß") << qint64(-1) << QStringLiteral("Ünïcødé Ä...");
    }

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

    void checkStatesAndStructure() {
        ItemModelAppIcon model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.addNode(makeNode(QStringLiteral("A"), true));
        model.addNode(makeNode(QStringLiteral("B"), false));
        model.addNode(makeNode(QStringLiteral("Sys"), true, true));
        model.contentsUpdate();
        QCOMPARE(model.rowCount(), 3);

        // Checked, unchecked, and no box at all for a hidden one.
        QCOMPARE(model.data(model.index(0, 0), Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QCOMPARE(model.data(model.index(1, 0), Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        QVERIFY(!model.data(model.index(2, 0), Qt::CheckStateRole).isValid());
        QVERIFY(model.flags(model.index(0, 0)) & Qt::ItemIsUserCheckable);
        QCOMPARE(model.indexOfItemNode(model.node(1)).row(), 1);
    }

    void setData_data() {
        QTest::addColumn<bool>("hidden");
        QTest::addColumn<int>("role");
        QTest::addColumn<int>("value");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("checkedAfter");
        QTest::addColumn<int>("signals");
        QTest::newRow("uncheck") << false << int(Qt::CheckStateRole) << int(Qt::Unchecked) << true << false << 1;
        QTest::newRow("check again") << false << int(Qt::CheckStateRole) << int(Qt::Checked) << true << true << 1;
        QTest::newRow("partial is not checked")
            << false << int(Qt::CheckStateRole) << int(Qt::PartiallyChecked) << true << false << 1;
        QTest::newRow("hidden box keeps state")
            << true << int(Qt::CheckStateRole) << int(Qt::Unchecked) << true << true << 0;
        QTest::newRow("other role refused") << false << int(Qt::EditRole) << int(Qt::Unchecked) << false << true << 0;
    }

    void setData() {
        QFETCH(bool, hidden);
        QFETCH(int, role);
        QFETCH(int, value);
        ItemModelAppIcon model;
        model.addNode(makeNode(QStringLiteral("A"), true, hidden));
        QSignalSpy checkedSpy(&model, &ItemModelAppIcon::itemChecked);
        QSignalSpy changedSpy(&model, &QAbstractItemModel::dataChanged);
        QTEST(model.setData(model.index(0, 0), value, role), "accepted");
        QTEST(model.node(0)->checked, "checkedAfter");
        QTEST(int(checkedSpy.count()), "signals");
        QCOMPARE(changedSpy.count(), model.node(0) && role == Qt::CheckStateRole ? 1 : 0);
        if (!checkedSpy.isEmpty()) {
            QCOMPARE(checkedSpy.first().first().value<APPIconItemNode*>(), model.node(0));
        }
    }

    void icons_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("png") << "png";
        QTest::newRow("jpeg") << "jpeg";
        QTest::newRow("missing file") << "missing";
        QTest::newRow("not an image") << "garbage";
        QTest::newRow("empty path") << "empty";
    }

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
        QSignalSpy aboutToRemove(&model, &QAbstractItemModel::rowsAboutToBeRemoved);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        model.clearChilds(nullptr);
        QCOMPARE(aboutToRemove.count(), 0);
        QCOMPARE(removed.count(), 0);

        model.addNode(makeNode(QStringLiteral("A")));
        model.addNode(makeNode(QStringLiteral("B")));
        model.contentsUpdate();
        model.clearChilds(nullptr);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.first().at(1).toInt(), 0);
        QCOMPARE(removed.first().at(2).toInt(), 1);
        QCOMPARE(model.rowCount(), 0);
    }
};

QTEST_MAIN(TestItemModel)
#include "tst_itemmodel.moc"
