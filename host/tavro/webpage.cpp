#include "webpage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

WebPage::WebPage(const QString &directory)
    : m_directory(directory.isEmpty() ? QString() : QDir(directory).canonicalPath())
{
}

QByteArray WebPage::contentType(const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("html"))
        return QByteArrayLiteral("text/html; charset=utf-8");
    if (suffix == QLatin1String("js"))
        return QByteArrayLiteral("text/javascript; charset=utf-8");
    if (suffix == QLatin1String("css"))
        return QByteArrayLiteral("text/css; charset=utf-8");
    if (suffix == QLatin1String("svg"))
        return QByteArrayLiteral("image/svg+xml");
    if (suffix == QLatin1String("png"))
        return QByteArrayLiteral("image/png");
    if (suffix == QLatin1String("json"))
        return QByteArrayLiteral("application/json");
    if (suffix == QLatin1String("webmanifest"))
        return QByteArrayLiteral("application/manifest+json");
    return QByteArray();
}

WebPage::File WebPage::file(const QByteArray &target) const
{
    File result;
    if (m_directory.isEmpty())
        return result;
    QByteArray path = target;
    const int query = path.indexOf('?');
    if (query >= 0)
        path.truncate(query);
    const int fragment = path.indexOf('#');
    if (fragment >= 0)
        path.truncate(fragment);
    if (path == "/")
        path = "/index.html";
    // Plain names only: no escapes, no "..", nothing hidden.
    static const QRegularExpression plain(QStringLiteral("^(/[A-Za-z0-9_-][A-Za-z0-9._-]*)+$"));
    const QString name = QString::fromLatin1(path);
    if (!plain.match(name).hasMatch() || name.contains(QLatin1String("..")))
        return result;
    const QByteArray type = contentType(name);
    if (type.isEmpty())
        return result;
    const QFileInfo info(m_directory + name);
    // A link may not lead out of the folder.
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty() || !canonical.startsWith(m_directory + QLatin1Char('/')) || !info.isFile())
        return result;
    if (info.size() > maxFileSize) {
        result.status = 500;
        return result;
    }
    QFile file(canonical);
    if (!file.open(QIODevice::ReadOnly)) {
        result.status = 500;
        return result;
    }
    result.status = 200;
    result.contentType = type;
    result.body = file.read(maxFileSize);
    return result;
}
