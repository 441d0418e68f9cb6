// The two function lists show every item whole, caption and size line: before
// any scan, and with the longest size lines a scan can write.

#include "app/paths.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"

#include <QApplication>
#include <QListView>
#include <QScrollBar>
#include <QTest>

class TestFunctionLists : public QObject {
    Q_OBJECT
private slots:
    void itemsShowWhole_data() {
        QTest::addColumn<QString>("list");
        QTest::addColumn<qint64>("size");
        for (const char* list : {"listSysFun", "listRemoveFun"}) {
            for (qint64 size : {qint64(-1), qint64(0), qint64(1023) * 1024 * 1024 + 1000, qint64(5) << 40}) {
                QTest::addRow("%s %lld", list, static_cast<long long>(size)) << QString::fromLatin1(list) << size;
            }
        }
    }

    void itemsShowWhole() {
        QFETCH(QString, list);
        QFETCH(qint64, size);
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        MessageBoxPresenter::setAutoAnswer(true);
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* view = window.findChild<QListView*>(list);
        ItemModelAppIcon* model = list == QLatin1String("listSysFun") ? window.sysFunModel() : window.dataFunModel();
        for (int i = 0; i < model->count(); ++i) {
            model->node(i)->size = size;
        }
        model->contentsUpdate();
        QApplication::processEvents();
        QCOMPARE(model->count(), 3);
        const QRect viewport = view->viewport()->rect();
        const int top = view->visualRect(model->index(0, 0)).top();
        for (int i = 0; i < model->count(); ++i) {
            const QRect item = view->visualRect(model->index(i, 0));
            QVERIFY2(viewport.contains(item), qPrintable(QStringLiteral("item %1 at %2,%3 %4x%5 in a %6 high list")
                                                             .arg(i)
                                                             .arg(item.x())
                                                             .arg(item.y())
                                                             .arg(item.width())
                                                             .arg(item.height())
                                                             .arg(viewport.height())));
            QCOMPARE(item.top(), top); // one row, as designed
        }
        QVERIFY(!view->verticalScrollBar()->isVisible());
    }
};

QTEST_MAIN(TestFunctionLists)
#include "tst_functionlists.moc"
