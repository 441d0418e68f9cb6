// The main window on libvexlar-imd.so against the simulator's usbmuxd: a
// paired simulated phone is listed with its name, identity, space and apps.

#include "device/mobiledevice.h"
#include "device/mobiledevice_loader.h"
#include "tests/device/simfixture.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>

using namespace Qt::StringLiterals;

class TestImdWindow : public QObject {
    Q_OBJECT

private slots:
    void deviceIsListed() {
        SimStore sim;
        MuxDaemon mux;
        QString why;
        if (!mux.start(sim.path(), &why)) {
            QSKIP(qPrintable(why));
        }
        QVERIFY2(sim.init(&why), qPrintable(why));
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        MessageBoxPresenter::setAutoAnswer(true);
        const QString udid = sim.create({u"--name"_s, u"Mux Phone"_s, u"--product-type"_s, u"iPhone12,1"_s, u"--ios"_s,
                                         u"16.2"_s, u"--preset"_s, u"demo"_s});
        QVERIFY(!udid.isEmpty());
        QCOMPARE(mobiledevice_init(), 1);
        MainWindow window;
        window.show();
        auto* cb = window.findChild<QComboBox*>(u"cbDevices"_s);
        QTRY_COMPARE_WITH_TIMEOUT(cb->count(), 1, 60000);
        QCOMPARE(cb->currentText(), u"Mux Phone"_s);
        const IOSDevice device = qvariant_cast<IOSDevice>(cb->itemData(0));
        QCOMPARE(device.udid, udid);
        QCOMPARE(device.productVersion, u"16.2"_s);
        QTRY_VERIFY_WITH_TIMEOUT(window.findChild<QLabel*>(u"lbSpaceInfo"_s)->text().startsWith(u"Total: "_s), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(window.appModel()->rowCount() >= 3, 60000);
        Tips::setPresenter(nullptr);
    }
};

QTEST_MAIN(TestImdWindow)
#include "tst_imd_window.moc"
