#ifndef ENERGYPLUGINLOADER_H
#define ENERGYPLUGINLOADER_H

#include <QString>
#include <QStringList>

class EnergyManager;
class EnergyPlugin;
class JsonRpcServer;
class ThingManager;

// Finds energy plugins on disk, checks their interface id before creating
// them, hands them the host's managers and runs init() once.
class EnergyPluginLoader
{
public:
    // Loads one library. Null (and errorString set) when it is no energy
    // plugin. The plugin instance belongs to the library's loader; it lives
    // until the process ends or the library is unloaded.
    static EnergyPlugin *load(const QString &fileName, EnergyManager *energyManager, ThingManager *thingManager,
                              JsonRpcServer *jsonRpcServer, QString *errorString = nullptr);
    // Every library in the directories that is an energy plugin.
    static QStringList findPlugins(const QStringList &directories);
};

#endif // ENERGYPLUGINLOADER_H
