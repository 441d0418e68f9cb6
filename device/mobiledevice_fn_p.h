#pragma once

// Typed access to framework functions, looked up by name at each call so that
// nothing links the framework directly.

#include "device/mobiledevice_loader.h"

#include <QString>
#include <stdexcept>

template <typename F>
F mobiledevice_fn(const char* name) {
    auto address = mobiledevice_loader_mf(name);
    if (!address) {
        throw std::runtime_error(
            QStringLiteral("The device framework has no function %1.").arg(QLatin1String(name)).toStdString());
    }
    return reinterpret_cast<F>(address);
}
