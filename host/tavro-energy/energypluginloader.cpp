#include "energypluginloader.h"
#include "energyplugin.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QLibrary>
#include <QLoggingCategory>
#include <QPluginLoader>

Q_DECLARE_LOGGING_CATEGORY(dcEnergyManager)

namespace {
bool isEnergyPlugin(const QPluginLoader &loader)
{
    return loader.metaData().value(QStringLiteral("IID")).toString() == QLatin1String(EnergyPlugin_iid);
}
}

EnergyPlugin *EnergyPluginLoader::load(const QString &fileName, EnergyManager *energyManager,
                                       ThingManager *thingManager, JsonRpcServer *jsonRpcServer, QString *errorString)
{
    QString error;
    if (!errorString)
        errorString = &error;
    QPluginLoader loader(fileName);
    if (!isEnergyPlugin(loader)) {
        *errorString = QStringLiteral("%1 is no energy plugin: %2").arg(fileName, loader.errorString());
        return nullptr;
    }
    EnergyPlugin *plugin = qobject_cast<EnergyPlugin *>(loader.instance());
    if (!plugin) {
        *errorString = QStringLiteral("Could not load %1: %2").arg(fileName, loader.errorString());
        return nullptr;
    }
    qCInfo(dcEnergyManager()) << "Loaded energy plugin"
                              << loader.metaData().value(QStringLiteral("className")).toString() << "from" << fileName;
    plugin->setHostInterfaces(energyManager, thingManager, jsonRpcServer);
    plugin->init();
    return plugin;
}

QStringList EnergyPluginLoader::findPlugins(const QStringList &directories)
{
    // A directory named twice (or through a link) must not load a plugin
    // twice: the second load would hand out the same instance again.
    QStringList result;
    QStringList seen;
    for (const QString &directory : directories) {
        const QDir dir(directory);
        for (const QString &entry : dir.entryList(QDir::Files)) {
            const QString fileName = dir.absoluteFilePath(entry);
            const QString canonical = QFileInfo(fileName).canonicalFilePath();
            if (seen.contains(canonical) || !QLibrary::isLibrary(fileName))
                continue;
            seen.append(canonical);
            if (isEnergyPlugin(QPluginLoader(fileName)))
                result.append(fileName);
        }
    }
    return result;
}
