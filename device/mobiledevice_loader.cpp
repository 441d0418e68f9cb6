#include "device/mobiledevice_loader.h"

#include "app/paths.h"
#include "app/tips.h"

#include <QCoreApplication>
#include <QLibrary>
#include <QLoggingCategory>
#include <mutex>

Q_LOGGING_CATEGORY(lcLoader, "vexlar.device.loader")

namespace {
std::mutex g_mutex;
QString g_uwpiTunesPath;
// Never unloaded: framework threads may still run while the process exits.
QLibrary* g_mobileDevice = nullptr;

// One line saying what to install: on Linux the library comes with the program's package.
QString loadErrorText(const QString& path) {
    return QCoreApplication::translate("QObject",
                                       "Phones cannot be reached: %1 cannot be loaded. Install the spacevexlar "
                                       "package (built with libimobiledevice) and usbmuxd.")
        .arg(path.toHtmlEscaped());
}
} // namespace

QString mobiledevice_loader_library_path() {
    const QString configured = qEnvironmentVariable("VEXLAR_MOBILEDEVICE");
    return configured.isEmpty() ? g_installedDeviceLibraryPath() : configured;
}

int mobiledevice_loader_ini(QString& error, QString uwpiTunesPath) {
    std::lock_guard lock(g_mutex);
    g_uwpiTunesPath = uwpiTunesPath;
    if (g_mobileDevice && g_mobileDevice->isLoaded()) {
        return 1;
    }
    const QString path = mobiledevice_loader_library_path();
    auto* lib = new QLibrary(path);
    if (!lib->load()) {
        qCWarning(lcLoader).noquote() << "cannot load the device framework" << path << ":" << lib->errorString();
        delete lib;
        error = loadErrorText(path);
        return 0;
    }
    qCDebug(lcLoader).noquote() << "device framework loaded from" << path;
    g_mobileDevice = lib;
    return 1;
}

QString mobiledevice_loader_ini_uwpiTunesPath() {
    std::lock_guard lock(g_mutex);
    return g_uwpiTunesPath;
}

bool mobiledevice_loader_is_mobiledevice_loaded() {
    std::lock_guard lock(g_mutex);
    return g_mobileDevice && g_mobileDevice->isLoaded();
}

bool mobiledevice_loader_is_corefoundation_loaded() {
    return true;
}

bool mobiledevice_loader_is_loaded() {
    return mobiledevice_loader_is_mobiledevice_loaded() && mobiledevice_loader_is_corefoundation_loaded();
}

QFunctionPointer mobiledevice_loader_mf(const char* name) {
    QLibrary* lib;
    {
        std::lock_guard lock(g_mutex);
        lib = g_mobileDevice;
    }
    if (!lib || !name) {
        return nullptr;
    }
    return lib->resolve(name);
}

QFunctionPointer mobiledevice_loader_cf(const char*) {
    return nullptr;
}

int mobiledevice_init() {
    QString error;
    if (mobiledevice_loader_ini(error, QString()) <= 0) {
        Tips::warning(error);
        return 0;
    }
    return 1;
}
