#include "translationlocator.h"

#include "tavro/tavrosettings.h"

#include <QDir>
#include <QFileInfo>
#include <QTranslator>

#include <dlfcn.h>

QString TranslationLocator::moduleDirectory()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&TranslationLocator::moduleDirectory), &info) == 0 || !info.dli_fname)
        return QString();
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absolutePath();
}

QStringList TranslationLocator::searchPaths()
{
    QStringList candidates = {TavroSettings::translationsPath()};
    const QString module = moduleDirectory();
    if (!module.isEmpty()) {
        candidates << module + QStringLiteral("/../translations")
                   << module + QLatin1Char('/') + QStringLiteral(TAVRO_PLUGIN_TO_TRANSLATIONS);
    }
    candidates << QStringLiteral(TAVRO_INSTALL_TRANSLATIONS_DIR);

    QStringList paths;
    for (const QString &candidate : qAsConst(candidates)) {
        const QFileInfo folder(candidate);
        if (!folder.isDir())
            continue;
        const QString path = folder.canonicalFilePath();
        if (!paths.contains(path))
            paths << path;
    }
    return paths;
}

bool TranslationLocator::load(QTranslator *translator, const QLocale &locale, const QString &baseName)
{
    const QStringList paths = searchPaths();
    for (const QString &path : paths) {
        if (translator->load(locale, baseName, QStringLiteral("-"), path, QStringLiteral(".qm")))
            return true;
    }
    return false;
}
