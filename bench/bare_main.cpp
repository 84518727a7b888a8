// The baseline of the start-up and memory figures: the barest Qt Quick window app, a window the size
// of Nimbrel's with one text in it. --measure first-frame | peak-rss prints like the app and quits.
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

#include <cstdio>
#include <sys/resource.h>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QString what = QGuiApplication::arguments().value(2);
    QQmlApplicationEngine engine;
    engine.loadData(QByteArrayLiteral(R"(
        import QtQuick
        Window {
            width: 440; height: 680; visible: true; color: "#080B18"
            Text { anchors.centerIn: parent; text: "Nimbrel"; color: "white"; font.pixelSize: 28 }
        }
    )"));
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    if (window == nullptr)
        return 1;
    QObject::connect(window, &QQuickWindow::frameSwapped, &app, [&what] {
        if (what == QLatin1String("peak-rss")) {
            rusage usage{};
            ::getrusage(RUSAGE_SELF, &usage);
            std::printf("peak-rss-kb %ld\n", usage.ru_maxrss);
        } else {
            std::printf("first-frame\n");
        }
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    return QGuiApplication::exec();
}
