// Build-time tool: renders one SVG of resources/art to a PNG or JPEG.
//   vexlar_render_art <in.svg> <out.png|out.jpg> <width> <height>
// JPEG has no alpha, so it is drawn on white.

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char** argv) {
    // Only our own errors matter here; the platform's start-up notes would drown the build log.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
        if (type == QtCriticalMsg || type == QtFatalMsg) {
            std::fprintf(stderr, "%s\n", qPrintable(msg));
        }
    });
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool okW = false;
    bool okH = false;
    const int width = args.size() == 5 ? args.at(3).toInt(&okW) : 0;
    const int height = args.size() == 5 ? args.at(4).toInt(&okH) : 0;
    if (!okW || !okH || width <= 0 || height <= 0 || width > 4096 || height > 4096) {
        std::fprintf(stderr, "usage: vexlar_render_art <in.svg> <out.png|out.jpg> <width> <height>\n");
        return 2;
    }
    QSvgRenderer renderer(args.at(1));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "vexlar_render_art: cannot read %s\n", qPrintable(args.at(1)));
        return 1;
    }
    const bool jpeg = args.at(2).endsWith(QLatin1String(".jpg"), Qt::CaseInsensitive);
    QImage image(width, height, jpeg ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied);
    image.fill(jpeg ? Qt::white : Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
        renderer.render(&painter);
    }
    if (!image.save(args.at(2), jpeg ? "JPG" : "PNG", jpeg ? 92 : -1)) {
        std::fprintf(stderr, "vexlar_render_art: cannot write %s\n", qPrintable(args.at(2)));
        return 1;
    }
    return 0;
}
