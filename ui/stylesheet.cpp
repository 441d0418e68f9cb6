#include "ui/stylesheet.h"

#include <QFile>

namespace {
// GUI thread only, like every widget that asks for it.
QString g_styleSheet;
} // namespace

QString getStyleSheet() {
    if (g_styleSheet.isEmpty()) {
        QFile file(QStringLiteral(":style.css"));
        if (file.open(QIODevice::ReadOnly)) {
            QByteArray bytes = file.readAll();
            const qsizetype nul = bytes.indexOf('\0');
            if (nul >= 0) {
                bytes.truncate(nul);
            }
            g_styleSheet = QString::fromUtf8(bytes);
        }
    }
    return g_styleSheet;
}
