// Start-up, in a fixed order: application object, English translation, the
// earlier version's folders moved over, file logger, device framework, main
// window, event loop.

#include "app/errreport.h"
#include "app/logsaver.h"
#include "app/paths.h"
#include "app/tips.h"
#include "backup/fileutil.h"
#include "device/mobiledevice_loader.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"

#include <QApplication>
#include <QTimer>
#include <QTranslator>

int main(int argc, char* argv[]) {
    // Killed by a signal, the program still removes the plain copy of an unlocked backup's manifest.
    fileutil::installSignalCleanup();
    QApplication app(argc, argv);

    QTranslator translator;
    const bool translated = translator.load(QStringLiteral(":/en.qm"));
    if (translated) {
        app.installTranslator(&translator);
    }

    // Before the logger: the logs of an earlier version move into the folder it writes to.
    const bool moved = g_moveLegacyFolders();
    logsaver_install_msghandler(g_logDirPath(), 10);
    qDebug("Space Vexlar %s starting", kProductVersion);
    if (!moved) {
        qWarning("the folders of the earlier version were not all moved: %s", qUtf8Printable(g_legacyDataDirPath()));
    }
    if (!translated) {
        // Texts will show their bare keys (IDS_...): the bundle was not linked in.
        qWarning("translation :/en.qm is missing");
    }

    MessageBoxPresenter presenter;
    Tips::setPresenter(&presenter);
    // End-to-end tests answer the boxes and stop the program through the environment.
    MessageBoxPresenter::installTestHookFromEnvironment();
    bool quitOk = false;
    const int quitAfterMs = qEnvironmentVariableIntValue("VEXLAR_QUIT_AFTER_MS", &quitOk);
    if (quitOk && quitAfterMs > 0) {
        QTimer::singleShot(quitAfterMs, &app, [] {
            qDebug("quitting as asked by VEXLAR_QUIT_AFTER_MS");
            QCoreApplication::exit(0);
        });
    }

    mobiledevice_init();

    int exitCode;
    {
        MainWindow window;
        window.show();
        qDebug("main window shown");
        exitCode = app.exec();
    }
    Tips::setPresenter(nullptr);
    return exitCode;
}
