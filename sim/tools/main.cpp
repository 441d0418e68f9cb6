// simdevice: creates and edits the simulated devices served by libsimdevice.so.

#include "sim/framework/notifyspool.h"
#include "sim/framework/simstore.h"
#include "sim/tools/presets.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTextStream>
#include <cstdio>
#include <functional>
#include <memory>

using namespace sim;

namespace {

const char* const kHelp = R"(Commands:
  create --udid U --name N --product-type T --ios V [--preset empty|demo|large]
         [--encrypt PASSWORD] [--icloud] [--store-apps]
      Makes <root>/<U>/ with device.plist, apps.plist and files/ (defaults:
      "Simulated iPhone", iPhone12,1, iOS 14.4, empty preset). The device
      starts plugged in, not paired, with the trust prompt accepted.
      empty: no apps and no data. demo: a dozen apps with icons and caches,
      messages with attachments (some orphaned), Safari and call history,
      system caches (about 40 MB). large: the demo plus 40 apps with 1000+
      small cache files each, for benchmarks. --store-apps: CloudNotes,
      Puzzle Grove and Streamly are App Store installs whose containers house
      arrest refuses, so their caches can only be cleaned through a backup.
  plug --udid U / unplug --udid U
      Sets Sim.Connected (an unplug also counts up Sim.Unplugs, so that an
      unplug and replug in quick succession is still seen as one); a running
      program sees the change within a second.
  set --udid U KEY VALUE
      KEY is Lockdown.<domain>.<key> (Lockdown.<key> for no domain, e.g.
      Lockdown.DeviceName, Lockdown.com.apple.mobile.backup.WillEncrypt),
      Sim.<key> (Connected, Paired, TrustAccepted, BackupPassword, TraceAfc,
      VendContainer: false makes house arrest refuse every app whose entry in
      apps.plist has no SimVendContainer true; Link: {"RoundTripUs": 500,
      "BytesPerSecond": 35000000} slows every service connection and the
      backup helper to a USB 2.0 cable's pace; PasscodePromptMs: from iOS
      16.1 a backup over mobilebackup2 first waits that long for the passcode
      to be entered on the phone, silent, see sim/framework/devicelinkserver.cpp)
      or
      Sim.Faults.<name> (AMDeviceConnect, AMDevicePair, AMDeviceValidatePairing,
      AMDeviceStartSession, StartService.<service name>, VendContainerFail,
      DropAfterBytes, ReplyDelayMs, CopyValueFail, AfcListExtra, AfcDotDot,
      AfcRemoveRefused; for simbackup: errorCode, errorCodeOperation,
      FailAfterBytes, UnplugAfterBytes, HelperSilent, HelperDiesAfterBytes,
      TransferDelayMs, described at the top of sim/backup/main.cpp).
      VALUE: true/false -> boolean; an integer (decimal, -n or 0x hex) ->
      integer; [..] or {..} in JSON -> array or dictionary; "text" in double
      quotes -> that string; null -> the key is removed; anything else -> string.
      Faults are read afresh at every call. With Sim.TraceAfc true the
      library appends "READ <handle> <bytes>" and "WRITE <handle> <bytes>" to
      <root>/<U>/afc-trace.log for every AFC read request and write chunk.
  notify --udid U NAME
      Posts the notification NAME from the plugged-in device: a running
      program that observes NAME through the notification proxy gets it
      within a second (a post nobody takes within 5 seconds is dropped).
  ls
      Lists the devices: identifier, name, product type, iOS, state.
  cat --udid U
      Prints device.plist as XML.
The store folder is --root, or $VEXLAR_SIM_ROOT when it is not given.)";

// Keeps the tool's output clean of platform chatter such as the runtime
// folder notice of the offscreen platform.
void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type == QtDebugMsg || msg.startsWith(QLatin1String("QStandardPaths:"))) {
        return;
    }
    QTextStream(stderr) << msg << Qt::endl;
}

int fail(const QString& text) {
    QTextStream(stderr) << "simdevice: " << text << Qt::endl;
    return 1;
}

// JSON value to a plist node (numbers become integers when whole).
plist_t fromJson(const QJsonValue& v) {
    switch (v.type()) {
    case QJsonValue::Bool:
        return plist_new_bool(v.toBool() ? 1 : 0);
    case QJsonValue::Double: {
        const double d = v.toDouble();
        if (d == static_cast<double>(static_cast<int64_t>(d))) {
            return plist_new_uint(static_cast<uint64_t>(static_cast<int64_t>(d)));
        }
        return plist_new_real(d);
    }
    case QJsonValue::String:
        return plist_new_string(v.toString().toUtf8().constData());
    case QJsonValue::Array: {
        plist_t a = plist_new_array();
        const QJsonArray arr = v.toArray();
        for (const QJsonValue& item : arr) {
            plist_array_append_item(a, fromJson(item));
        }
        return a;
    }
    case QJsonValue::Object: {
        plist_t d = plist_new_dict();
        const QJsonObject obj = v.toObject();
        for (auto it = obj.begin(); it != obj.end(); ++it) {
            plist_dict_set_item(d, it.key().toUtf8().constData(), fromJson(it.value()));
        }
        return d;
    }
    default:
        return plist_new_string("");
    }
}

// Null with *remove set for "null"; null with an error text for bad JSON.
plist_t parseValue(const QString& text, bool* remove, QString* error) {
    *remove = false;
    if (text == QLatin1String("null")) {
        *remove = true;
        return nullptr;
    }
    if (text == QLatin1String("true") || text == QLatin1String("false")) {
        return plist_new_bool(text == QLatin1String("true") ? 1 : 0);
    }
    bool ok = false;
    const qlonglong n = text.toLongLong(&ok, 0);
    if (ok) {
        return plist_new_uint(static_cast<uint64_t>(n));
    }
    if (text.startsWith(QLatin1Char('[')) || text.startsWith(QLatin1Char('{'))) {
        QJsonParseError pe{};
        const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &pe);
        if (doc.isNull()) {
            *error = QStringLiteral("not valid JSON: %1").arg(pe.errorString());
            return nullptr;
        }
        return doc.isArray() ? fromJson(doc.array()) : fromJson(doc.object());
    }
    if (text.size() >= 2 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"'))) {
        return plist_new_string(text.mid(1, text.size() - 2).toUtf8().constData());
    }
    return plist_new_string(text.toUtf8().constData());
}

plist_t ensureDict(plist_t parent, const QByteArray& key) {
    plist_t node = plist_dict_get_item(parent, key.constData());
    if (!node || plist_get_node_type(node) != PLIST_DICT) {
        node = plist_new_dict();
        plist_dict_set_item(parent, key.constData(), node);
    }
    return node;
}

// Splits a KEY of the set command into the dictionary path below device.plist.
bool keyPath(const QString& key, QList<QByteArray>* path) {
    auto prefixed = [&key](const char* p) { return key.startsWith(QLatin1String(p)); };
    if (prefixed("Lockdown.")) {
        const QString rest = key.mid(9);
        const int dot = rest.lastIndexOf(QLatin1Char('.'));
        const QString domain = dot < 0 ? QString() : rest.left(dot);
        const QString name = rest.mid(dot + 1);
        if (name.isEmpty()) {
            return false;
        }
        *path = {"Lockdown", domain.toUtf8(), name.toUtf8()};
        return true;
    }
    if (prefixed("Sim.Faults.")) {
        const QString rest = key.mid(11);
        const int dot = rest.indexOf(QLatin1Char('.'));
        if (rest.isEmpty() || dot == 0) {
            return false;
        }
        *path = {"Sim", "Faults", rest.left(dot < 0 ? rest.size() : dot).toUtf8()};
        if (dot > 0) {
            path->append(rest.mid(dot + 1).toUtf8()); // a service name keeps its dots
        }
        return true;
    }
    if (prefixed("Sim.")) {
        const QString name = key.mid(4);
        if (name.isEmpty() || name.contains(QLatin1Char('.'))) {
            return false;
        }
        *path = {"Sim", name.toUtf8()};
        return true;
    }
    return false;
}

QString deviceDir(const QString& root, const QString& udid) {
    return QDir(root).absoluteFilePath(udid);
}

bool validUdid(const QString& udid) {
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9_-]{0,79}$"));
    return re.match(udid).hasMatch();
}

int editDevice(const QString& dir, const std::function<QString(plist_t)>& edit) {
    const QString path = dir + QStringLiteral("/device.plist");
    if (!QFileInfo::exists(path)) {
        return fail(QStringLiteral("no device at %1").arg(dir));
    }
    DeviceLock lock(dir);
    Plist plist = readPlistFile(path);
    if (!plist || plist_get_node_type(plist.get()) != PLIST_DICT) {
        return fail(QStringLiteral("%1 is not a readable property list").arg(path));
    }
    const QString error = edit(plist.get());
    if (!error.isEmpty()) {
        return fail(error);
    }
    if (!writePlistFile(path, plist.get())) {
        return fail(QStringLiteral("cannot write %1").arg(path));
    }
    return 0;
}

int cmdSet(const QString& dir, const QString& key, const QString& valueText) {
    QList<QByteArray> path;
    if (!keyPath(key, &path)) {
        return fail(QStringLiteral("unknown key %1 (see --help)").arg(key));
    }
    bool remove = false;
    QString error;
    Plist value(parseValue(valueText, &remove, &error));
    if (!value && !remove) {
        return fail(error);
    }
    uint8_t plugged = 0;
    const bool plugging =
        path == QList<QByteArray>{"Sim", "Connected"} && value && plist_get_node_type(value.get()) == PLIST_BOOLEAN;
    if (plugging) {
        plist_get_bool_val(value.get(), &plugged);
    }
    return editDevice(dir, [&](plist_t root) {
        if (plugging) { // as plug / unplug, so that the unplug is counted
            setPlugged(root, plugged != 0);
            return QString();
        }
        plist_t node = root;
        for (qsizetype i = 0; i + 1 < path.size(); ++i) {
            node = ensureDict(node, path[i]);
        }
        if (remove) {
            if (plist_dict_get_item(node, path.last().constData())) {
                plist_dict_remove_item(node, path.last().constData());
            }
        } else {
            plist_dict_set_item(node, path.last().constData(), value.release());
        }
        return QString();
    });
}

int cmdLs(const QString& root) {
    QTextStream out(stdout);
    const QDir dir(root);
    const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        Plist p = readPlistFile(dir.absoluteFilePath(name) + QStringLiteral("/device.plist"));
        if (!p) {
            continue;
        }
        auto text = [&p](const char* key) {
            return QString::fromStdString(stringOf(dictPath(p.get(), {"Lockdown", "", key})));
        };
        const bool connected = boolAt(p.get(), {"Sim", "Connected"}, true);
        const bool paired = boolAt(p.get(), {"Sim", "Paired"}, false);
        out << name << '\t' << text("DeviceName") << '\t' << text("ProductType") << '\t' << "iOS "
            << text("ProductVersion") << '\t' << (connected ? "plugged" : "unplugged") << '\t'
            << (paired ? "paired" : "not paired") << Qt::endl;
    }
    return 0;
}

int cmdCat(const QString& dir) {
    Plist p = readPlistFile(dir + QStringLiteral("/device.plist"));
    if (!p) {
        return fail(QStringLiteral("no readable device.plist in %1").arg(dir));
    }
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(p.get(), &xml, &len);
    fwrite(xml, 1, len, stdout);
    plist_to_xml_free(xml);
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    // Icons are painted with text, which needs a GUI application; the
    // offscreen platform needs no display.
    bool creating = false;
    for (int i = 1; i < argc; ++i) {
        creating = creating || qstrcmp(argv[i], "create") == 0;
    }
    std::unique_ptr<QCoreApplication> app;
    if (creating) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler(quietHandler);
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("simdevice"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Creates and edits simulated devices.\n\n") +
                                     QString::fromUtf8(kHelp));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("create, plug, unplug, set, notify, ls or cat"));
    const QCommandLineOption rootOpt(QStringLiteral("root"), QStringLiteral("Device store folder."),
                                     QStringLiteral("folder"));
    const QCommandLineOption udidOpt(QStringLiteral("udid"), QStringLiteral("Device identifier."),
                                     QStringLiteral("udid"));
    const QCommandLineOption nameOpt(QStringLiteral("name"), QStringLiteral("Device name."), QStringLiteral("name"),
                                     QStringLiteral("Simulated iPhone"));
    const QCommandLineOption typeOpt(QStringLiteral("product-type"), QStringLiteral("Product type, e.g. iPhone12,1."),
                                     QStringLiteral("type"), QStringLiteral("iPhone12,1"));
    const QCommandLineOption iosOpt(QStringLiteral("ios"), QStringLiteral("iOS version, e.g. 14.4."),
                                    QStringLiteral("version"), QStringLiteral("14.4"));
    const QCommandLineOption presetOpt(QStringLiteral("preset"), QStringLiteral("empty, demo or large."),
                                       QStringLiteral("preset"), QStringLiteral("empty"));
    const QCommandLineOption encryptOpt(QStringLiteral("encrypt"), QStringLiteral("Encrypt backups with PASSWORD."),
                                        QStringLiteral("password"));
    const QCommandLineOption icloudOpt(QStringLiteral("icloud"), QStringLiteral("iCloud backup is on."));
    const QCommandLineOption storeOpt(QStringLiteral("store-apps"),
                                      QStringLiteral("Some demo apps refuse house arrest, as App Store apps do."));
    parser.addOptions({rootOpt, udidOpt, nameOpt, typeOpt, iosOpt, presetOpt, encryptOpt, icloudOpt, storeOpt});
    // A negative number is a value, not an option: hide its dash from the parser.
    static const QRegularExpression negative(QStringLiteral("^-(0x[0-9a-fA-F]+|[0-9]+)$"));
    QStringList argList = QCoreApplication::arguments();
    for (QString& a : argList) {
        if (negative.match(a).hasMatch()) {
            a.prepend(QChar(1));
        }
    }
    parser.process(argList);

    QStringList args = parser.positionalArguments();
    for (QString& a : args) {
        if (a.startsWith(QChar(1))) {
            a.remove(0, 1);
        }
    }
    if (args.isEmpty()) {
        parser.showHelp(1);
    }
    const QString command = args.first();
    const QString root = parser.isSet(rootOpt) ? parser.value(rootOpt) : simRoot();
    if (root.isEmpty()) {
        return fail(QStringLiteral("no store folder: give --root or set VEXLAR_SIM_ROOT"));
    }
    if (command == QLatin1String("ls")) {
        return cmdLs(root);
    }

    const QString udid = parser.value(udidOpt);
    if (!validUdid(udid)) {
        return fail(QStringLiteral("give a device identifier with --udid (letters, digits, '-' and '_')"));
    }
    const QString dir = deviceDir(root, udid);

    if (command == QLatin1String("create")) {
        CreateOptions o;
        o.dir = dir;
        o.udid = udid;
        o.name = parser.value(nameOpt);
        o.productType = parser.value(typeOpt);
        o.iosVersion = parser.value(iosOpt);
        o.preset = parser.value(presetOpt);
        o.password = parser.value(encryptOpt);
        o.encrypt = parser.isSet(encryptOpt);
        o.icloud = parser.isSet(icloudOpt);
        o.storeApps = parser.isSet(storeOpt);
        if (o.preset != QLatin1String("empty") && o.preset != QLatin1String("demo") &&
            o.preset != QLatin1String("large")) {
            return fail(QStringLiteral("unknown preset %1 (empty, demo or large)").arg(o.preset));
        }
        if (o.encrypt && o.password.isEmpty()) {
            return fail(QStringLiteral("--encrypt needs a non-empty password"));
        }
        if (QFileInfo::exists(dir)) {
            return fail(QStringLiteral("%1 already exists; remove it first").arg(dir));
        }
        const QString error = createDevice(o);
        return error.isEmpty() ? 0 : fail(error);
    }
    if (command == QLatin1String("plug") || command == QLatin1String("unplug")) {
        const bool on = command == QLatin1String("plug");
        return editDevice(dir, [on](plist_t rootNode) {
            setPlugged(rootNode, on);
            return QString();
        });
    }
    if (command == QLatin1String("set")) {
        if (args.size() != 3) {
            return fail(QStringLiteral("usage: simdevice set --udid U KEY VALUE"));
        }
        return cmdSet(dir, args.at(1), args.at(2));
    }
    if (command == QLatin1String("notify")) {
        if (args.size() != 2 || !notifySpoolNameOk(args.at(1))) {
            return fail(QStringLiteral("usage: simdevice notify --udid U NAME (a name without control characters)"));
        }
        Plist p = readPlistFile(dir + QStringLiteral("/device.plist"));
        if (!p || !boolAt(p.get(), {"Sim", "Connected"}, true)) {
            return fail(QStringLiteral("%1 is not a plugged-in device").arg(udid));
        }
        return notifySpoolAppend(dir, args.at(1)) ? 0 : fail(QStringLiteral("cannot post to %1").arg(dir));
    }
    if (command == QLatin1String("cat")) {
        return cmdCat(dir);
    }
    return fail(QStringLiteral("unknown command %1 (see --help)").arg(command));
}
