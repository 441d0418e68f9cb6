// The main window on libvexlar-imd.so against the simulator's usbmuxd: a phone
// whose trust dialog is still up reaches the user as the pairing error and is
// not listed; once trusted (without a replug) it is listed with its apps.

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
    void pairingPendingThenAccepted() {
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
        const QString udid = sim.create({u"--name"_s, u"Mux Phone"_s, u"--ios"_s, u"16.2"_s, u"--preset"_s, u"demo"_s});
        QVERIFY(!udid.isEmpty() && replugUnpaired(sim, mux, udid, u"pending"_s, true));
        QCOMPARE(mobiledevice_init(), 1);
        MainWindow window;
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(MessageBoxPresenter::shownTexts().join(u'|').contains(u"AMDevicePair(-402653030)"_s),
                                 60000);
        auto* cb = window.findChild<QComboBox*>(u"cbDevices"_s);
        QCOMPARE(cb->count(), 0);
        QVERIFY(sim.set(udid, u"Sim.TrustAccepted"_s, u"accepted"_s)); // tapped on the phone, no replug
        QTRY_COMPARE_WITH_TIMEOUT(cb->count(), 1, 60000);
        QCOMPARE(qvariant_cast<IOSDevice>(cb->itemData(0)).udid, udid);
        QTRY_VERIFY_WITH_TIMEOUT(window.appModel()->rowCount() >= 3, 60000);
        Tips::setPresenter(nullptr);
    }
};

QTEST_MAIN(TestImdWindow)
#include "tst_imd_window.moc"
