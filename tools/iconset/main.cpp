// Renders the app icon (an SVG) into the bitmaps desktops ask for:
//   nimbrel-iconset hicolor ICON.svg FOLDER   FOLDER/<n>x<n>/apps/nimbrel.png (freedesktop icon theme)
//   nimbrel-iconset iconset ICON.svg FOLDER   FOLDER/icon_<n>x<n>[@2x].png (macOS iconutil input)
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

namespace {

bool render(QSvgRenderer &svg, int pixels, const QString &path)
{
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    svg.render(&painter);
    painter.end();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !image.save(path, "PNG")) {
        std::fprintf(stderr, "nimbrel-iconset: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    // Raster painting on images needs no application object or display: this runs as a build step.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const QString kind = arguments.value(1);
    if (arguments.size() < 4 || arguments.size() > 5 ||
        (kind != QLatin1String("hicolor") && kind != QLatin1String("iconset"))) {
        std::fprintf(stderr, "usage: nimbrel-iconset hicolor|iconset ICON.svg FOLDER [NAME]\n");
        return 2;
    }
    QSvgRenderer svg(arguments.at(2));
    if (!svg.isValid()) {
        std::fprintf(stderr, "nimbrel-iconset: %s is no SVG image\n", qPrintable(arguments.at(2)));
        return 1;
    }
    const QDir folder(arguments.at(3));
    bool ok = true;
    if (kind == QLatin1String("hicolor")) {
        // Panels and menus ask for the small sizes: drawn at them, not scaled down from a large one.
        const QString name = arguments.value(4, QStringLiteral("nimbrel"));
        for (const int size : {16, 22, 24, 32, 48, 64, 128, 256, 512})
            ok = render(svg, size, folder.filePath(QStringLiteral("%1x%1/apps/%2.png").arg(size).arg(name))) && ok;
    } else {
        for (const int size : {16, 32, 128, 256, 512}) {
            ok = render(svg, size, folder.filePath(QStringLiteral("icon_%1x%1.png").arg(size))) && ok;
            ok = render(svg, size * 2, folder.filePath(QStringLiteral("icon_%1x%1@2x.png").arg(size))) && ok;
        }
    }
    return ok ? 0 : 1;
}
