// The demo phone: apps with icons and caches, messages with attachments (some
// no longer referenced), Safari and call history, and system caches, laid out
// by backup domain under files/.

#include "sim/framework/simstore.h"
#include "sim/tools/presets.h"
#include "sim/tools/schemas.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdint>
#include <sqlite3.h>
#include <stdexcept>
#include <vector>

namespace sim {

namespace {

// Seconds between 1970-01-01 and 2001-01-01, the epoch of the device's dates.
constexpr int64_t kAppleEpoch = 978307200;

struct DemoApp {
    const char* id;
    const char* name;
    const char* glyph;
    QRgb from;
    QRgb to;
    int cacheKiB; // roughly, spread over Library/Caches and Library/tmp
    bool artwork;
};

const DemoApp kApps[] = {
    {"com.example.pixelpost", "PixelPost", "P", 0xffff5f6d, 0xffffc371, 5200, true},
    {"com.example.chirpchat", "ChirpChat", "C", 0xff36d1dc, 0xff5b86e5, 3100, true},
    {"com.example.trailmap", "TrailMap", "T", 0xff56ab2f, 0xffa8e063, 1800, true},
    {"com.example.bytenews", "ByteNews", "B", 0xff232526, 0xff606c88, 2600, true},
    {"com.example.tunewave", "TuneWave", "W", 0xffda22ff, 0xff9733ee, 4100, true},
    {"com.example.fitloop", "FitLoop", "F", 0xfff7971e, 0xffffd200, 640, true},
    {"com.example.quickcart", "QuickCart", "Q", 0xffee0979, 0xffff6a00, 1200, true},
    {"com.example.cloudnotes", "CloudNotes", "N", 0xff4facfe, 0xff00f2fe, 180, true},
    {"com.example.skycast", "SkyCast", "S", 0xff2193b0, 0xff6dd5ed, 950, true},
    {"com.example.streamly", "Streamly", "\u25B6", 0xffcb2d3e, 0xffef473a, 3600, true},
    {"com.example.puzzlegrove", "Puzzle Grove", "G", 0xff11998e, 0xff38ef7d, 420, true},
    {"com.example.ledgerly", "Ledgerly", "L", 0xff141e30, 0xff243b55, 260, false}, // no artwork on purpose
    {"com.example.widgetkit", "", "K", 0xff8e2de2, 0xff4a00e0, 90, true},          // no display name
};

// A small fast generator: real, varied bytes without the cost of a CSPRNG.
class Bytes {
public:
    explicit Bytes(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    QByteArray make(qint64 size) {
        QByteArray out(size, Qt::Uninitialized);
        char* p = out.data();
        for (qint64 i = 0; i < size; i += 8) {
            s ^= s << 13;
            s ^= s >> 7;
            s ^= s << 17;
            const qint64 n = std::min<qint64>(8, size - i);
            memcpy(p + i, &s, static_cast<size_t>(n));
        }
        return out;
    }
    uint64_t next(uint64_t bound) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s % bound;
    }

private:
    uint64_t s;
};

class Builder {
public:
    Builder(const QString& filesDir, bool large)
        : files(filesDir), large(large), now(QDateTime::currentSecsSinceEpoch()) {}

    void build(plist_t apps) {
        for (const DemoApp& app : kApps) {
            addApp(apps, app);
        }
        addSystemApp(apps, "com.apple.mobilesafari", "Safari");
        addSystemApp(apps, "com.apple.MobileSMS", "Messages");
        if (large) {
            addBulkApps(apps);
        }
        messages();
        safari();
        calls();
        systemCaches();
        media();
        systemTemps();
    }

private:
    void writeFile(const QString& rel, const QByteArray& data) {
        const QString path = files + QLatin1Char('/') + rel;
        QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) {
            throw std::runtime_error("cannot write " + path.toStdString());
        }
    }

    void writeRandom(const QString& rel, qint64 size) { writeFile(rel, rng.make(size)); }

    static QByteArray png(const QImage& img, const char* format = "PNG", int quality = -1) {
        QByteArray out;
        QBuffer buf(&out);
        buf.open(QIODevice::WriteOnly);
        img.save(&buf, format, quality);
        return out;
    }

    static QImage icon(const DemoApp& app, int size) {
        QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient g(0, 0, size, size);
        g.setColorAt(0, QColor::fromRgb(app.from));
        g.setColorAt(1, QColor::fromRgb(app.to));
        QPainterPath path;
        path.addRoundedRect(QRectF(0, 0, size, size), size * 0.2237, size * 0.2237);
        p.fillPath(path, g);
        // A soft highlight so the tile does not look flat.
        QRadialGradient shine(size * 0.3, size * 0.2, size * 0.8);
        shine.setColorAt(0, QColor(255, 255, 255, 70));
        shine.setColorAt(1, QColor(255, 255, 255, 0));
        p.fillPath(path, shine);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setBold(true);
        font.setPixelSize(size * 55 / 100);
        p.setFont(font);
        p.setPen(QColor(255, 255, 255, 235));
        p.drawText(QRectF(0, 0, size, size), Qt::AlignCenter, QString::fromUtf8(app.glyph));
        p.end();
        return img;
    }

    void appEntry(plist_t apps, const char* id, const char* name, const char* type) {
        plist_t d = plist_new_dict();
        plist_dict_set_item(d, "CFBundleIdentifier", plist_new_string(id));
        plist_dict_set_item(d, "CFBundleName", plist_new_string(name));
        plist_dict_set_item(d, "CFBundleDisplayName", plist_new_string(name));
        plist_dict_set_item(d, "CFBundleShortVersionString", plist_new_string("2.4.1"));
        plist_dict_set_item(d, "CFBundleVersion", plist_new_string("241"));
        plist_dict_set_item(d, "ApplicationType", plist_new_string(type));
        const std::string container = std::string("/private/var/mobile/Containers/Data/Application/") + id;
        plist_dict_set_item(d, "Container", plist_new_string(container.c_str()));
        plist_array_append_item(apps, d);
    }

    void addSystemApp(plist_t apps, const char* id, const char* name) { appEntry(apps, id, name, "System"); }

    // Caches in nested folders with files of varied sizes adding up to about
    // the given amount; Documents and preferences that cleaning must keep.
    void appData(const QString& domain, int cacheKiB, int seed) {
        qint64 budget = qint64(cacheKiB) * 1024;
        const char* const folders[] = {"Library/Caches/com.example.http/fsCachedData",
                                       "Library/Caches/images/thumbs",
                                       "Library/Caches/images/full",
                                       "Library/Caches",
                                       "Library/tmp",
                                       "Library/tmp/upload-staging/part"};
        int n = 0;
        while (budget > 0) {
            const qint64 size = std::min<qint64>(budget, 512 + qint64(rng.next(uint64_t(cacheKiB) * 160 + 4096)));
            const QString folder = QString::fromLatin1(folders[(n + seed) % 6]);
            writeRandom(QStringLiteral("%1/%2/%3-%4.dat").arg(domain, folder).arg(n).arg(seed), size);
            budget -= size;
            ++n;
        }
        QDir().mkpath(files + QLatin1Char('/') + domain + QStringLiteral("/Library/tmp"));
        writeRandom(domain + QStringLiteral("/Documents/userdata.sqlite"), 24576 + seed * 512);
        writeFile(domain + QStringLiteral("/Documents/notes.txt"), QByteArrayLiteral("Keep me: user documents.\n"));
        writeFile(domain + QStringLiteral("/Library/Preferences/settings.plist"),
                  QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                    "<key>LaunchCount</key><integer>42</integer></dict></plist>\n"));
    }

    void addApp(plist_t apps, const DemoApp& app) {
        appEntry(apps, app.id, app.name, "User");
        const QString domain = QStringLiteral("AppDomain-") + QString::fromLatin1(app.id);
        if (app.artwork) {
            writeFile(domain + QStringLiteral("/iTunesArtwork"), png(icon(app, 512)));
        }
        appData(domain, app.cacheKiB, int(&app - kApps));
    }

    // Benchmark load: many apps, each with a thousand and more small cache
    // files in nested folders.
    void addBulkApps(plist_t apps) {
        for (int a = 0; a < 40; ++a) {
            const QByteArray id = "com.example.bulk" + QByteArray::number(a).rightJustified(2, '0');
            const QByteArray name = "Bulk App " + QByteArray::number(a + 1);
            const QByteArray glyph = QByteArray::number(a + 1);
            appEntry(apps, id.constData(), name.constData(), "User");
            const QString domain = QStringLiteral("AppDomain-") + QString::fromLatin1(id);
            const DemoApp look{id.constData(),
                               name.constData(),
                               glyph.constData(),
                               0xff000000u | (0x3a1c71u * (a + 1)),
                               0xff000000u | (0xffaf7bu ^ (a * 0x010305u)),
                               0,
                               true};
            writeFile(domain + QStringLiteral("/iTunesArtwork"), png(icon(look, 256)));
            int file = 0;
            for (int d1 = 0; d1 < 8; ++d1) {
                for (int d2 = 0; d2 < 10; ++d2) {
                    const QString dir = QStringLiteral("%1/Library/%2/bucket%3/%4")
                                            .arg(domain, d1 < 6 ? QStringLiteral("Caches") : QStringLiteral("tmp"))
                                            .arg(d1)
                                            .arg(d2, 2, 10, QLatin1Char('0'));
                    for (int f = 0; f < 13; ++f, ++file) {
                        writeRandom(QStringLiteral("%1/entry%2.bin").arg(dir).arg(file), 64 + qint64(rng.next(1984)));
                    }
                }
            }
            writeFile(domain + QStringLiteral("/Documents/keep.txt"), QByteArrayLiteral("user data\n"));
        }
    }

    // SQLite helpers: every failure is fatal for the preset.
    struct Db {
        sqlite3* db = nullptr;
        explicit Db(const QString& path) {
            QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
            QFile::remove(path);
            if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                nullptr) != SQLITE_OK) {
                throw std::runtime_error("cannot create " + path.toStdString());
            }
        }
        ~Db() { sqlite3_close_v2(db); }
        void exec(const char* sql) {
            char* err = nullptr;
            if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
                const std::string text = err ? err : "unknown";
                sqlite3_free(err);
                throw std::runtime_error("SQL failed: " + text);
            }
        }
        // Runs one statement with positional values (int64, double, text or null).
        void run(const char* sql, const QVariantList& values) {
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
                throw std::runtime_error(std::string("SQL failed: ") + sqlite3_errmsg(db));
            }
            for (int i = 0; i < values.size(); ++i) {
                const QVariant& v = values.at(i);
                if (v.isNull()) {
                    sqlite3_bind_null(st, i + 1);
                } else if (v.typeId() == QMetaType::Double) {
                    sqlite3_bind_double(st, i + 1, v.toDouble());
                } else if (v.typeId() == QMetaType::QString) {
                    const QByteArray t = v.toString().toUtf8();
                    sqlite3_bind_text(st, i + 1, t.constData(), int(t.size()), SQLITE_TRANSIENT);
                } else if (v.typeId() == QMetaType::QByteArray) {
                    const QByteArray b = v.toByteArray();
                    sqlite3_bind_blob(st, i + 1, b.constData(), int(b.size()), SQLITE_TRANSIENT);
                } else {
                    sqlite3_bind_int64(st, i + 1, v.toLongLong());
                }
            }
            const int rc = sqlite3_step(st);
            sqlite3_finalize(st);
            if (rc != SQLITE_DONE) {
                throw std::runtime_error(std::string("SQL failed: ") + sqlite3_errmsg(db));
            }
        }
        qint64 lastId() const { return sqlite3_last_insert_rowid(db); }
    };

    QString guid() {
        const QByteArray r = rng.make(16).toHex().toUpper();
        return QString::fromLatin1(r.left(8) + '-' + r.mid(8, 4) + '-' + r.mid(12, 4) + '-' + r.mid(16, 4) + '-' +
                                   r.mid(20, 12));
    }

    QImage photo(int w, int h, int seed) {
        QImage img(w, h, QImage::Format_RGB32);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient sky(0, 0, 0, h);
        sky.setColorAt(0, QColor::fromHsv((seed * 47) % 360, 120, 240));
        sky.setColorAt(1, QColor::fromHsv((seed * 47 + 40) % 360, 160, 120));
        p.fillRect(img.rect(), sky);
        for (int i = 0; i < 24; ++i) {
            p.setBrush(QColor::fromHsv(int(rng.next(360)), 90 + int(rng.next(120)), 120 + int(rng.next(130)), 150));
            p.setPen(Qt::NoPen);
            const int r = 10 + int(rng.next(uint64_t(w) / 6));
            p.drawEllipse(QPoint(int(rng.next(uint64_t(w))), int(rng.next(uint64_t(h)))), r, r);
        }
        p.end();
        return img;
    }

    // The messages database (iOS 13 layout) with attachments, a few attachment
    // folders that no message refers to any more, parts and drafts.
    void messages() {
        Db db(files + QStringLiteral("/HomeDomain/Library/SMS/sms.db"));
        db.exec(kSmsSchema);
        db.exec("BEGIN");
        const char* props[][2] = {{"counter_in_all", "0"},      {"counter_out_all", "0"},
                                  {"counter_in_lifetime", "0"}, {"counter_out_lifetime", "0"},
                                  {"counter_last_reset", "0"},  {"_ClientVersion", "12005"}};
        for (const auto& kv : props) {
            db.run("INSERT INTO _SqliteDatabaseProperties (key, value) VALUES (?, ?)",
                   {QString::fromLatin1(kv[0]), QString::fromLatin1(kv[1])});
        }
        const QString account = guid();
        const char* const contacts[] = {"+15550101234", "+15550109876", "maya.lindqvist@example.com", "+15550142277",
                                        "22000"};
        const char* const lines[] = {"Are we still on for lunch?",
                                     "Running 10 min late, sorry!",
                                     "Look at this view",
                                     "Happy birthday!! 🎉",
                                     "Can you send me the address?",
                                     "Got it, thanks",
                                     "Your verification code is 402118",
                                     "See you tomorrow",
                                     "Did you watch the game last night?",
                                     "Photos from the weekend"};
        int msgNo = 0;
        int attNo = 0;
        for (int c = 0; c < 5; ++c) {
            const QString who = QString::fromLatin1(contacts[c]);
            const QString service = who.contains(QLatin1Char('@')) ? QStringLiteral("iMessage") : QStringLiteral("SMS");
            db.run("INSERT INTO handle (id, country, service, uncanonicalized_id) VALUES (?, 'us', ?, ?)",
                   {who, service, who});
            const qint64 handle = db.lastId();
            db.run("INSERT INTO chat (guid, style, state, account_id, chat_identifier, service_name, account_login) "
                   "VALUES (?, 45, 3, ?, ?, ?, 'E:')",
                   {service + QStringLiteral(";-;") + who, account, who, service});
            const qint64 chat = db.lastId();
            db.run("INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)", {chat, handle});
            const int count = 6 + c * 2;
            for (int m = 0; m < count; ++m, ++msgNo) {
                const qint64 when = (now - kAppleEpoch - (msgNo * 5437 + 3600)) * 1000000000LL;
                const bool fromMe = (m % 3) == 1;
                db.run("INSERT INTO message (guid, text, handle_id, service, account, account_guid, date, "
                       "date_read, date_delivered, is_delivered, is_finished, is_from_me, is_read, is_sent) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 1, 1, ?, 1, ?)",
                       {guid(), QString::fromUtf8(lines[(msgNo * 7) % 10]), handle, service, QStringLiteral("e:"),
                        account, when, when + 60000000000LL, when + 1000000000LL, int(fromMe), int(fromMe)});
                const qint64 message = db.lastId();
                db.run("INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES (?, ?, ?)",
                       {chat, message, when});
                if (m % 4 == 2) {
                    const QString attGuid = guid();
                    const QString name = QStringLiteral("IMG_%1.jpeg").arg(1200 + attNo);
                    const QString folder =
                        QStringLiteral("Library/SMS/Attachments/%1/%2/%3")
                            .arg(QString::number(rng.next(256), 16).rightJustified(2, QLatin1Char('0')))
                            .arg(attNo % 16, 2, 10, QLatin1Char('0'))
                            .arg(attGuid);
                    const QByteArray jpeg = png(photo(1600, 1200, attNo), "JPEG", 92);
                    writeFile(QStringLiteral("MediaDomain/") + folder + QLatin1Char('/') + name, jpeg);
                    writeFile(QStringLiteral("MediaDomain/") + folder + QStringLiteral("/") + name +
                                  QStringLiteral("-preview.jpeg"),
                              png(photo(320, 240, attNo), "JPEG", 80));
                    db.run("INSERT INTO attachment (guid, created_date, filename, uti, mime_type, transfer_state, "
                           "is_outgoing, transfer_name, total_bytes, original_guid) "
                           "VALUES (?, ?, ?, 'public.jpeg', 'image/jpeg', 5, ?, ?, ?, ?)",
                           {attGuid, when / 1000000000LL, QStringLiteral("~/") + folder + QLatin1Char('/') + name,
                            int(fromMe), name, qint64(jpeg.size()), attGuid});
                    const qint64 attachment = db.lastId();
                    db.run("INSERT INTO message_attachment_join (message_id, attachment_id) VALUES (?, ?)",
                           {message, attachment});
                    ++attNo;
                }
            }
        }
        db.exec("COMMIT");

        // Left behind by messages deleted long ago: no row refers to these.
        for (int i = 0; i < 3; ++i) {
            const QString folder = QStringLiteral("MediaDomain/Library/SMS/Attachments/%1/%2/%3")
                                       .arg(QString::number(0xa0 + i, 16))
                                       .arg(i + 3, 2, 10, QLatin1Char('0'))
                                       .arg(guid());
            writeFile(folder + QStringLiteral("/IMG_0%1.jpeg").arg(900 + i),
                      png(photo(1400, 1050, 50 + i), "JPEG", 90));
            writeRandom(folder + QStringLiteral("/clip-%1.mov").arg(i), 700 * 1024 + i * 150 * 1024);
        }
        writeRandom(QStringLiteral("MediaDomain/Library/SMS/Parts/0c/05/37-2.jpg"), 180 * 1024);
        writeRandom(QStringLiteral("MediaDomain/Library/SMS/Parts/2c/11/91-1.txt"), 2 * 1024);
        writeFile(QStringLiteral("HomeDomain/Library/SMS/Drafts/SMS;-;+15550142277/composition.plist"),
                  QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                    "<key>text</key><string>Half-written reply</string></dict></plist>\n"));
    }

    // Safari history in the browser's own domain, with page thumbnails, web
    // site local storage and the old history list.
    void safari() {
        const QString domain = QStringLiteral("AppDomain-com.apple.mobilesafari");
        Db db(files + QLatin1Char('/') + domain + QStringLiteral("/Library/Safari/History.db"));
        db.exec(kSafariHistorySchema);
        db.exec("BEGIN");
        const char* const sites[][2] = {
            {"https://news.example.com/", "Example News - Top Stories"},
            {"https://www.example.org/recipes/lemon-cake", "Lemon Cake Recipe"},
            {"https://maps.example.net/?q=harbour", "Harbour - Maps"},
            {"https://shop.example.com/cart", "Your Cart"},
            {"https://weather.example.com/today", "Weather Today"},
            {"https://video.example.tv/watch?v=42", "Cat plays piano"},
            {"https://docs.example.io/guide/start", "Getting Started Guide"},
            {"https://forum.example.com/t/battery-tips/118", "Battery tips - Forum"},
        };
        const double base = double(now - kAppleEpoch);
        int visitNo = 0;
        for (int i = 0; i < 8; ++i) {
            const QString url = QString::fromLatin1(sites[i][0]);
            const QString expansion = url.section(QLatin1Char('/'), 2, 2).section(QLatin1Char('.'), -2, -2);
            const int visits = 1 + i % 4;
            db.run("INSERT INTO history_items (url, domain_expansion, visit_count, daily_visit_counts, "
                   "should_recompute_derived_visit_counts, visit_count_score) VALUES (?, ?, ?, ?, 0, ?)",
                   {url, expansion, visits, QByteArray("\x01\0\0\0", 4), visits * 100});
            const qint64 item = db.lastId();
            for (int v = 0; v < visits; ++v, ++visitNo) {
                db.run("INSERT INTO history_visits (history_item, visit_time, title, origin, generation, score) "
                       "VALUES (?, ?, ?, 0, 1, 100)",
                       {item, base - visitNo * 2711.5, QString::fromLatin1(sites[i][1])});
            }
        }
        db.run("INSERT INTO history_tombstones (start_time, end_time, url, generation) VALUES (?, ?, ?, 1)",
               {base - 90000.0, base - 86000.0, QStringLiteral("https://old.example.com/")});
        db.run("INSERT INTO metadata (key, value) VALUES ('current_generation', 2)", {});
        db.run("INSERT INTO metadata (key, value) VALUES ('last_synced_generation', 1)", {});
        db.run("INSERT INTO metadata (key, value) VALUES ('last_maintenance_date', ?)", {base - 3600.0});
        db.run("INSERT INTO history_client_versions (client_version, last_seen) VALUES (2, ?)", {base});
        db.run("INSERT INTO history_event_listeners (listener_name, last_seen) VALUES ('MobileSafari', ?)", {base});
        db.exec("COMMIT");

        for (int i = 0; i < 6; ++i) {
            writeFile(domain + QStringLiteral("/Library/Safari/Thumbnails/%1.png").arg(guid()),
                      png(photo(375, 667, 80 + i)));
        }
        const char* const origins[] = {"https_news.example.com_0", "https_shop.example.com_0",
                                       "https_video.example.tv_0"};
        for (int i = 0; i < 3; ++i) {
            const QString base = domain + QStringLiteral("/Library/WebKit/WebsiteData/LocalStorage/") +
                                 QString::fromLatin1(origins[i]) + QStringLiteral(".localstorage");
            writeRandom(base, 12288 + i * 4096);
            writeRandom(base + QStringLiteral("-shm"), 32768);
        }
        writeFile(domain + QStringLiteral("/Library/Safari/History.plist"),
                  QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                    "<key>WebHistoryFileVersion</key><integer>1</integer>"
                                    "<key>WebHistoryDates</key><array/></dict></plist>\n"));
        // Browser state that is not history and stays.
        writeFile(domain + QStringLiteral("/Library/Safari/SuspendState.plist"),
                  QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                    "<key>SafariStateDocuments</key><array/></dict></plist>\n"));
    }

    // Both call-history stores: the older database and the Core Data store.
    void calls() {
        struct Call {
            const char* number;
            const char* name;
            int duration;
            int flags; // bit 0: outgoing
            int answered;
        };
        const Call calls[] = {
            {"+15550101234", "Ana Ortiz", 312, 1, 1},
            {"+15550109876", "Ben Okafor", 0, 0, 0},
            {"+15550142277", "Chen Wei", 95, 0, 1},
            {"+15550101234", "Ana Ortiz", 47, 0, 1},
            {"+15550177001", "", 0, 0, 0},
            {"+15550188890", "Dentist", 131, 1, 1},
            {"+15550109876", "Ben Okafor", 1804, 1, 1},
            {"+15550142277", "Chen Wei", 12, 1, 1},
            {"+15550199123", "", 63, 0, 1},
            {"+15550101234", "Ana Ortiz", 0, 1, 0},
            {"+15550166554", "Pizza Place", 88, 1, 1},
            {"+15550142277", "Chen Wei", 240, 0, 1},
        };
        {
            Db db(files + QStringLiteral("/WirelessDomain/Library/CallHistory/call_history.db"));
            db.exec(kCallHistorySchema);
            db.exec("BEGIN");
            const char* const props[] = {"call_history_limit", "timer_last",     "timer_outgoing",
                                         "timer_incoming",     "timer_all",      "timer_lifetime",
                                         "timer_last_reset",   "_ClientVersion", "_UniqueIdentifier"};
            for (const char* key : props) {
                const QString k = QString::fromLatin1(key);
                const QString value = k == QLatin1String("call_history_limit")  ? QStringLiteral("100")
                                      : k == QLatin1String("_ClientVersion")    ? QStringLiteral("13")
                                      : k == QLatin1String("_UniqueIdentifier") ? guid()
                                                                                : QStringLiteral("0");
                db.run("INSERT INTO _SqliteDatabaseProperties (key, value) VALUES (?, ?)", {k, value});
            }
            int i = 0;
            for (const Call& c : calls) {
                db.run(
                    "INSERT INTO call (address, date, duration, flags, id, name, country_code, network_code, "
                    "read, assisted, originalAddress, answered) VALUES (?, ?, ?, ?, -1, ?, '310', '260', 1, 0, ?, ?)",
                    {QString::fromLatin1(c.number), now - 7200 - i * 40000, c.duration, c.flags | 4,
                     QString::fromUtf8(c.name), QString::fromLatin1(c.number), c.answered});
                ++i;
            }
            db.exec("COMMIT");
        }
        Db db(files + QStringLiteral("/HomeDomain/Library/CallHistoryDB/CallHistory.storedata"));
        db.exec(R"SQL(
CREATE TABLE ZCALLDBPROPERTIES ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZSESSION_FLAGS INTEGER, ZTIMER_ALL FLOAT, ZTIMER_INCOMING FLOAT, ZTIMER_LAST FLOAT, ZTIMER_LIFETIME FLOAT, ZTIMER_OUTGOING FLOAT, ZDATA_LAST_RESET TIMESTAMP );
CREATE TABLE ZCALLRECORD ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZANSWERED INTEGER, ZCALLTYPE INTEGER, ZDISCONNECTED_CAUSE INTEGER, ZFACE_TIME_DATA INTEGER, ZNUMBER_AVAILABILITY INTEGER, ZORIGINATED INTEGER, ZREAD INTEGER, ZDATE TIMESTAMP, ZDURATION FLOAT, ZADDRESS VARCHAR, ZDEVICE_ID VARCHAR, ZISO_COUNTRY_CODE VARCHAR, ZLOCATION VARCHAR, ZNAME VARCHAR, ZSERVICE_PROVIDER VARCHAR, ZUNIQUE_ID VARCHAR );
CREATE TABLE ZHANDLE ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZTYPE INTEGER, ZNORMALIZEDVALUE VARCHAR, ZVALUE VARCHAR );
CREATE TABLE Z_2REMOTEPARTICIPANTHANDLES ( Z_2REMOTEPARTICIPANTCALLS INTEGER, Z_3REMOTEPARTICIPANTHANDLES INTEGER, PRIMARY KEY (Z_2REMOTEPARTICIPANTCALLS, Z_3REMOTEPARTICIPANTHANDLES) );
CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER, Z_MAX INTEGER);
CREATE TABLE Z_METADATA (Z_VERSION INTEGER PRIMARY KEY, Z_UUID VARCHAR(255), Z_PLIST BLOB);
CREATE TABLE Z_MODELCACHE (Z_CONTENT BLOB);
CREATE INDEX ZCALLRECORD_ZDATE_INDEX ON ZCALLRECORD (ZDATE);
CREATE INDEX ZCALLRECORD_ZUNIQUE_ID_INDEX ON ZCALLRECORD (ZUNIQUE_ID);
)SQL");
        db.exec("BEGIN");
        int i = 0;
        for (const Call& c : calls) {
            ++i;
            db.run("INSERT INTO ZCALLRECORD (Z_PK, Z_ENT, Z_OPT, ZANSWERED, ZCALLTYPE, ZDISCONNECTED_CAUSE, "
                   "ZFACE_TIME_DATA, ZNUMBER_AVAILABILITY, ZORIGINATED, ZREAD, ZDATE, ZDURATION, ZADDRESS, "
                   "ZISO_COUNTRY_CODE, ZLOCATION, ZNAME, ZSERVICE_PROVIDER, ZUNIQUE_ID) "
                   "VALUES (?, 2, 1, ?, 1, 0, NULL, 0, ?, 1, ?, ?, ?, 'us', ?, ?, 'com.apple.Telephony', ?)",
                   {i, c.answered, c.flags & 1, double(now - kAppleEpoch - 7200 - (i - 1) * 40000), double(c.duration),
                    QString::fromLatin1(c.number), QStringLiteral("United States"), QString::fromUtf8(c.name), guid()});
            db.run("INSERT OR IGNORE INTO ZHANDLE (Z_PK, Z_ENT, Z_OPT, ZTYPE, ZNORMALIZEDVALUE, ZVALUE) "
                   "VALUES (?, 3, 1, 2, ?, ?)",
                   {i, QString::fromLatin1(c.number), QString::fromLatin1(c.number)});
            db.run("INSERT INTO Z_2REMOTEPARTICIPANTHANDLES VALUES (?, ?)", {i, i});
        }
        db.run("INSERT INTO ZCALLDBPROPERTIES (Z_PK, Z_ENT, Z_OPT, ZSESSION_FLAGS, ZTIMER_ALL, ZTIMER_INCOMING, "
               "ZTIMER_LAST, ZTIMER_LIFETIME, ZTIMER_OUTGOING) VALUES (1, 1, 3, 0, 2820, 510, 240, 2820, 2310)",
               {});
        db.run("INSERT INTO Z_PRIMARYKEY VALUES (1, 'CallDBProperties', 0, 1)", {});
        db.run("INSERT INTO Z_PRIMARYKEY VALUES (2, 'CallRecord', 0, ?)", {i});
        db.run("INSERT INTO Z_PRIMARYKEY VALUES (3, 'Handle', 0, ?)", {i});
        db.run("INSERT INTO Z_METADATA VALUES (1, ?, NULL)", {guid()});
        db.exec("COMMIT");
    }

    // What "Cache Files" finds: Library/Caches of the system domains.
    void systemCaches() {
        const char* const root[] = {"RootDomain/Library/Caches/locationd/cache_encryptedA.db",
                                    "RootDomain/Library/Caches/locationd/consolidated.db",
                                    "RootDomain/Library/Caches/com.apple.wifid/networks.plist",
                                    "RootDomain/Library/Caches/Checkpoint.plist"};
        const char* const home[] = {"HomeDomain/Library/Caches/com.apple.keyboards/images/en-dynamic.png",
                                    "HomeDomain/Library/Caches/com.apple.keyboards/version",
                                    "HomeDomain/Library/Caches/Snapshots/com.example.pixelpost/main@3x.ktx",
                                    "HomeDomain/Library/Caches/Snapshots/com.example.chirpchat/main@3x.ktx",
                                    "HomeDomain/Library/Caches/com.apple.WebKit.Networking/Cache.db",
                                    "HomeDomain/Library/Caches/com.apple.Maps/GeoTiles/tiles-0.db",
                                    "HomeDomain/Library/Caches/com.apple.Maps/GeoTiles/tiles-1.db",
                                    "HomeDomain/Library/Caches/DiskImages/dyld_cache.map"};
        int i = 0;
        for (const char* p : root) {
            writeRandom(QString::fromLatin1(p), 40 * 1024 + qint64(rng.next(900 * 1024)) * (i++ % 3));
        }
        for (const char* p : home) {
            writeRandom(QString::fromLatin1(p), 64 * 1024 + qint64(rng.next(1400 * 1024)) * (i++ % 4));
        }
        // Neighbours that are not caches and stay.
        writeRandom(QStringLiteral("HomeDomain/Library/CachesOld/leftover.bin"), 4096);
        writeFile(
            QStringLiteral("HomeDomain/Library/Preferences/com.apple.springboard.plist"),
            QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict/></plist>\n"));
    }

    // What "Temp Files" finds: tmp/ of the system domains, which the phone empties and refills itself.
    void systemTemps() {
        writeRandom(QStringLiteral("HomeDomain/tmp/com.apple.mobilemail/attachment-7Q2F.tmp"), 96 * 1024);
        writeRandom(QStringLiteral("HomeDomain/tmp/MediaCache/segment-0001.ts"), 180 * 1024);
        writeRandom(QStringLiteral("RootDomain/tmp/softwareupdate/scan.partial"), 24 * 1024);
        // A neighbour that is not temporary and stays.
        writeRandom(QStringLiteral("HomeDomain/Library/tmpl/template.bin"), 2048);
    }

    // A few photos for the media area served by com.apple.afc.
    void media() {
        for (int i = 0; i < 4; ++i) {
            writeFile(QStringLiteral("MediaDomain/Media/DCIM/100APPLE/IMG_%1.JPG").arg(4001 + i),
                      png(photo(2016, 1512, 200 + i), "JPEG", 90));
        }
    }

    QString files;
    bool large;
    qint64 now;
    Bytes rng{20260101};
};

} // namespace

QString buildDemoData(const QString& filesDir, bool large, QString* appsPlistXml) {
    Plist apps(plist_new_array());
    try {
        Builder(filesDir, large).build(apps.get());
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(apps.get(), &xml, &len);
    *appsPlistXml = QString::fromUtf8(xml, int(len));
    plist_to_xml_free(xml);
    return {};
}

} // namespace sim
