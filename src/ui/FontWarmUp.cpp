#include "FontWarmUp.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QtConcurrent/QtConcurrentRun>

namespace FontWarmUp {

QList<QFont> signInScreen()
{
    struct Size {
        int pixels;
        QFont::Weight weight;
    };
    static constexpr Size sizes[] = {
        {11, QFont::Normal},   {12, QFont::Normal},   {13, QFont::Normal}, {14, QFont::Normal}, {14, QFont::DemiBold},
        {15, QFont::DemiBold}, {18, QFont::DemiBold}, {20, QFont::Normal}, {26, QFont::Bold},   {31, QFont::Bold},
    };
    QList<QFont> fonts;
    for (const Size &size : sizes) {
        QFont font; // the application's, as a text's own before its size and weight are set
        font.setPixelSize(size.pixels);
        font.setWeight(size.weight);
        fonts.append(font);
    }
    return fonts;
}

void start(QList<QFont> fonts, QObject *context)
{
    QtConcurrent::run([] { QFontDatabase::families(); }).then(context, [fonts = std::move(fonts)] {
        for (const QFont &font : fonts) {
            const QFontMetricsF metrics(font);
            metrics.height(); // what laying a text out asks first
            // Shaping one letter has FreeType's auto-hinter analyse the face (its scripts' coverage and
            // blue zones) and builds the engine's HarfBuzz plan: a third of what building the screen
            // cost once the engines were set up.
            metrics.horizontalAdvance(QStringLiteral("x"));
        }
    });
}

} // namespace FontWarmUp
