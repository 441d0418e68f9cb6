#pragma once

// Run-time binding of the device framework.
//
// The framework is a shared library with a C interface (device/mobiledevice_abi.h),
// loaded by file path: $VEXLAR_MOBILEDEVICE when set, else the installed
// libvexlar-imd.so. Functions are looked up by name at each call. Property lists are the
// program's own CFType, so "CoreFoundation" is always loaded.

#include <QString>
#include <QtGlobal>

// Loads the framework. Returns 1 when loaded; 0 when the device framework
// failed (error = one line saying what to install), -1 when
// CoreFoundation failed (never on this platform). `uwpiTunesPath` is kept for
// mobiledevice_loader_ini_uwpiTunesPath(). Loading again after success is a no-op.
int mobiledevice_loader_ini(QString& error, QString uwpiTunesPath);
QString mobiledevice_loader_ini_uwpiTunesPath();

bool mobiledevice_loader_is_loaded();
bool mobiledevice_loader_is_corefoundation_loaded();
bool mobiledevice_loader_is_mobiledevice_loaded();

// Address of a named framework function, or null (not loaded, or no such name).
QFunctionPointer mobiledevice_loader_mf(const char* name);
// CoreFoundation is not a library here: always null.
QFunctionPointer mobiledevice_loader_cf(const char* name);

// Typed, throwing look-ups for the device layer: device/mobiledevice_fn_p.h.

// Start-up: loads the framework from its default location and shows the
// loader's error with Tips::warning on failure. Returns 1 when loaded, else 0.
int mobiledevice_init();

// The library path the loader uses.
QString mobiledevice_loader_library_path();
