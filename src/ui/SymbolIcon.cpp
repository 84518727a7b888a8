#include "SymbolIcon.h"

#include <QHash>
#include <QImageReader>
#include <QPainter>

namespace {

QString resourcePath(const QString &symbol)
{
    return QStringLiteral(":/Nimbrel/Ui/icons/%1.svg").arg(symbol);
}

// The symbol at a size in device pixels, drawn once per symbol and size by the SVG image plugin (a null
// image for an unknown symbol). Icons are drawn on the GUI thread only.
QImage rasterized(const QString &symbol, QSize pixels)
{
    static QHash<QString, QImage> cache;
    const QString key = QStringLiteral("%1@%2x%3").arg(symbol).arg(pixels.width()).arg(pixels.height());
    auto found = cache.constFind(key);
    if (found == cache.cend()) {
        QImageReader reader(resourcePath(symbol));
        reader.setScaledSize(pixels);
        QImage image = reader.read();
        if (image.isNull())
            qWarning("Icon: no symbol \"%s\" (%s)", qPrintable(symbol), qPrintable(reader.errorString()));
        found = cache.insert(key, image.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }
    return *found;
}

// Tints what was just drawn only: the painter paints into a surface of its own. The symbol is drawn at
// the surface's own resolution, so that it stays sharp on a high-density screen. False when nothing was
// drawn (no area, or an unknown symbol).
bool paintTinted(QPainter &painter, const QString &symbol, const QRectF &area, const QColor &color)
{
    const QSize pixels = painter.deviceTransform().mapRect(area).size().toSize();
    if (pixels.isEmpty())
        return false;
    const QImage image = rasterized(symbol, pixels);
    if (image.isNull())
        return false;
    painter.drawImage(area, image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(area, color);
    return true;
}

} // namespace

SymbolIcon::SymbolIcon(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
    setImplicitSize(m_size, m_size);
    setSize(m_size);
}

void SymbolIcon::setSymbol(const QString &symbol)
{
    if (symbol == m_symbol)
        return;
    m_symbol = symbol;
    update();
    emit symbolChanged();
}

void SymbolIcon::setColor(const QColor &color)
{
    if (color == m_color)
        return;
    m_color = color;
    update();
    emit colorChanged();
}

void SymbolIcon::setSize(qreal size)
{
    if (size == m_size && width() == size && height() == size)
        return;
    m_size = size;
    setImplicitSize(size, size);
    setWidth(size);
    setHeight(size);
    update();
    emit sizeChanged();
}

void SymbolIcon::paint(QPainter *painter)
{
    if (!m_symbol.isEmpty())
        paintTinted(*painter, m_symbol, boundingRect(), m_color);
}

QImage SymbolIcon::image(const QString &symbol, const QColor &color, int pixels)
{
    if (pixels <= 0)
        return {};
    QImage drawn(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    drawn.fill(Qt::transparent);
    QPainter painter(&drawn);
    if (!paintTinted(painter, symbol, QRectF(0, 0, pixels, pixels), color))
        return {};
    return drawn;
}
