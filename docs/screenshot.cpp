// Renders the main window on a simulated demo device into a PNG file:
//   ui_screenshot <output.png> [--details]
// with VEXLAR_MOBILEDEVICE and VEXLAR_SIM_ROOT naming the simulator and a
// device already created in that store. Boxes are answered automatically.
// The window grabs itself once the apps are listed and scanned; with
// --details, the messages' details view is grabbed after a scan of the
// unwanted data (VEXLAR_BACKUP_HELPER naming the backup helper).
// scripts/screenshots.sh makes both pictures of the README.

#include "device/mobiledevice_loader.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"

#include <QApplication>
#include <QComboBox>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>
#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_screenshot <output.png>\n");
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    const bool details = argc > 2 && qstrcmp(argv[2], "--details") == 0;
    QTranslator translator;
    if (translator.load(QStringLiteral(":/en.qm"))) {
        QApplication::installTranslator(&translator);
    }
    MessageBoxPresenter presenter;
    Tips::setPresenter(&presenter);
    MessageBoxPresenter::setAutoAnswer(true);
    if (mobiledevice_init() != 1) {
        std::fprintf(stderr, "device framework not loaded\n");
        return 1;
    }
    int rc = 1;
    {
        MainWindow window;
        window.show();
        bool scanned = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &app, [&] {
            if (window.appModel()->rowCount() == 0) {
                return;
            }
            if (!scanned) {
                scanned = true;
                window
                    .findChild<QPushButton*>(details ? QStringLiteral("btnScanRemvoeData")
                                                     : QStringLiteral("btnScanAppCache"))
                    ->click();
                return;
            }
            ItemModelAppIcon* scannedList = details ? window.dataFunModel() : window.appModel();
            if (scannedList->node(0)->size < 0) {
                return;
            }
            poll.stop();
            if (details) {
                MessageBoxPresenter::setDialogHandler(QStringLiteral("DetailsDlg"), [&](QDialog* dialog) {
                    QTimer::singleShot(500, dialog, [&, dialog] {
                        rc = dialog->grab().save(output, "PNG") ? 0 : 1;
                        dialog->reject();
                    });
                });
                window.showDetails(window.dataFunModel()->index(0, 0));
                QApplication::quit();
                return;
            }
            // Let the layout settle before grabbing.
            QTimer::singleShot(500, &app, [&] {
                rc = window.grab().save(output, "PNG") ? 0 : 1;
                QApplication::quit();
            });
        });
        poll.start(200);
        QTimer::singleShot(120000, &app, [] { QApplication::exit(1); });
        app.exec();
    }
    Tips::setPresenter(nullptr);
    return rc;
}
