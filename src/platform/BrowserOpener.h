#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>

// Opens a web address that carries a secret (the renewal's access token) in the user's browser so that
// the address reaches no command line, terminal or log: a page of the user's alone, in a folder of the
// user's alone, forwards to it, and only that page's path is handed to the system's opener.
class BrowserOpener : public QObject {
    Q_OBJECT
public:
    // opener: the program that opens a file in the browser (xdg-open, macOS's open); folder: where the
    // forwarding page is written.
    BrowserOpener(QString opener, QString folder, QObject *parent = nullptr);
    explicit BrowserOpener(QObject *parent = nullptr);
    ~BrowserOpener() override;

    // Reports finished(false) at once when the page cannot be written or the opener cannot start, and
    // when the opener says it could not open the page.
    void open(const QUrl &url);
    // The page of the last open, while it is kept (a while, for a browser that starts slowly).
    const QString &page() const { return m_page; }

    static QString systemOpener();

signals:
    void finished(bool opened);

private:
    bool writePage(const QUrl &url);
    void removePage();

    QString m_opener;
    QString m_folder;
    QString m_page;
    std::unique_ptr<QProcess> m_process;
    QTimer m_removal;
};
