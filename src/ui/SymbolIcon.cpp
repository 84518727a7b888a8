#include "SymbolIcon.h"

#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

#include <memory>

namespace {

QString resourcePath(const QString &symbol)
{
    return QStringLiteral(":/Nimbrel/Ui/icons/%1.svg").arg(symbol);
}

// Parsed once per symbol; icons are drawn on the GUI thread only.
QSvgRenderer *renderer(const QString &symbol)
{
    static QHash<QString, std::shared_ptr<QSvgRenderer>> cache;
    auto found = cache.constFind(symbol);
    if (found == cache.cend()) {
        auto loaded = std::make_shared<QSvgRenderer>(resourcePath(symbol));
        found = cache.insert(symbol, loaded->isValid() ? loaded : nullptr);
    }
    return found->get();
}

// Tints what was just drawn only: the painter paints into a surface of its own.
void paintTinted(QPainter &painter, QSvgRenderer &svg, const QRectF &area, const QColor &color)
{
    svg.render(&painter, area);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(area, color);
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
    if (QSvgRenderer *svg = m_symbol.isEmpty() ? nullptr : renderer(m_symbol))
        paintTinted(*painter, *svg, boundingRect(), m_color);
}

QImage SymbolIcon::image(const QString &symbol, const QColor &color, int pixels)
{
    QSvgRenderer *svg = renderer(symbol);
    if (svg == nullptr)
        return {};
    QImage drawn(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    drawn.fill(Qt::transparent);
    QPainter painter(&drawn);
    paintTinted(painter, *svg, QRectF(0, 0, pixels, pixels), color);
    return drawn;
}
