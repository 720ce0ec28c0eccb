#ifndef WEBPAGE_H
#define WEBPAGE_H

#include <QByteArray>
#include <QString>

// The owner's page: static files from one folder, looked up by URL path.
// Only plain names of letters, digits, ".", "-" and "_" below the folder
// are served ("/" is index.html); ".." and hidden names never are, nor a
// link leading out of the folder, nor a type the page does not use. Files
// are read on every request (at most maxFileSize bytes), so an edited page
// shows with the next reload.
class WebPage
{
public:
    static constexpr qint64 maxFileSize = 4 * 1024 * 1024;

    struct File {
        // 200, 404 (no such file, or not one to serve) or 500 (unreadable).
        int status = 404;
        QByteArray contentType;
        QByteArray body;
    };

    explicit WebPage(const QString &directory);

    QString directory() const { return m_directory; }
    // path: the request target, query and fragment included.
    File file(const QByteArray &path) const;
    // The Content-Type for a file name; empty for a type not served.
    static QByteArray contentType(const QString &fileName);

private:
    QString m_directory;
};

#endif // WEBPAGE_H
