#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

// Opens a web address that carries a secret (the renewal's access token) in the user's browser so that
// the address reaches no command line, terminal or log: a page of the user's alone, in a folder of the
// user's alone, forwards to it, and only that page's path is handed to the system's opener.
class BrowserOpener : public QObject {
    Q_OBJECT
public:
    // opener: the program that opens a file in the browser (xdg-open, macOS's open); folder: where the
    // forwarding pages are written.
    BrowserOpener(QString opener, QString folder, QObject *parent = nullptr);
    explicit BrowserOpener(QObject *parent = nullptr);
    // Removes the pages still kept; an opener still running goes on by itself.
    ~BrowserOpener() override;

    // Reports finished(false) at once when the page cannot be written or the opener cannot start, and
    // when the opener says it could not open the page.
    void open(const QUrl &url);

    static QString systemOpener();

signals:
    void finished(bool opened);

private:
    // The new page's path, or empty.
    QString writePage(const QUrl &url);
    void removePage(const QString &page);
    // What an earlier run left (it ended before its pages' time was up).
    void removeStalePages() const;

    QString m_opener;
    QString m_folder;
    QStringList m_pages; // kept a while each, for a browser that starts slowly
};
