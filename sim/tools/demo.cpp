#include "sim/tools/presets.h"

namespace sim {

QString buildDemoData(const QString&, bool, QString*) {
    return QStringLiteral("the demo preset is not available yet");
}

} // namespace sim
