#pragma once

#include <QColor>
#include <QImage>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

// One of the app's own symbols (an SVG among the module's resources), drawn in one colour at a square
// size. Qt's SVG image plugin draws it, loaded the first time an icon is shown: the sign-in screen
// shows none, so nothing of SVG loads before the first frame.
class SymbolIcon : public QQuickPaintedItem {
    Q_OBJECT
    QML_NAMED_ELEMENT(Icon)
    Q_PROPERTY(QString symbol READ symbol WRITE setSymbol NOTIFY symbolChanged REQUIRED)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(qreal size READ size WRITE setSize NOTIFY sizeChanged)
public:
    explicit SymbolIcon(QQuickItem *parent = nullptr);

    QString symbol() const { return m_symbol; }
    void setSymbol(const QString &symbol);
    QColor color() const { return m_color; }
    void setColor(const QColor &color);
    qreal size() const { return m_size; }
    void setSize(qreal size);

    void paint(QPainter *painter) override;
    // The symbol drawn in color on a transparent square of pixels (a null image for an unknown one).
    static QImage image(const QString &symbol, const QColor &color, int pixels);

signals:
    void symbolChanged();
    void colorChanged();
    void sizeChanged();

private:
    QString m_symbol;
    QColor m_color = Qt::white;
    qreal m_size = 16;
};
