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
    QSvgRenderer *svg = m_symbol.isEmpty() ? nullptr : renderer(m_symbol);
    if (svg == nullptr)
        return;
    // The item paints into a surface of its own, so tinting what was just drawn tints the symbol only.
    const QRectF area = boundingRect();
    svg->render(painter, area);
    painter->setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter->fillRect(area, m_color);
}
