// A hard restart of the host in the middle of a run ("restartAt").

#include "jsonrpcclient.h"
#include "simulation.h"

#include "tavro-energy/energymanager.h"
#include "tavro-energy/energyplugin.h"
#include "tavro-energy/jsonrpcenergyhandler.h"
#include "tavro/jsonrpcserver.h"
#include "tavro/jsonrpcthingshandler.h"
#include "tavro/thingmanager.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QPair>

namespace {

// Every file under the host's folders, by path, as it is on disk.
using FolderCopy = QMap<QString, QByteArray>;

QStringList hostFolders()
{
    QStringList folders;
    for (const char *variable : {"TAVRO_SETTINGS_PATH", "TAVRO_STORAGE_PATH", "TAVRO_CACHE_PATH"}) {
        const QString folder = qEnvironmentVariable(variable);
        if (!folder.isEmpty())
            folders.append(folder);
    }
    return folders;
}

bool copyFolders(const QStringList &folders, FolderCopy *copy, QString *errorString)
{
    for (const QString &folder : folders) {
        QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (!file.open(QIODevice::ReadOnly)) {
                *errorString = QStringLiteral("Cannot copy %1 for the restart").arg(file.fileName());
                return false;
            }
            copy->insert(file.fileName(), file.readAll());
        }
    }
    return true;
}

bool putBack(const QStringList &folders, const FolderCopy &copy, QString *errorString)
{
    for (const QString &folder : folders) {
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
    }
    for (auto it = copy.constBegin(); it != copy.constEnd(); ++it) {
        QDir().mkpath(QFileInfo(it.key()).path());
        QFile file(it.key());
        if (!file.open(QIODevice::WriteOnly) || file.write(it.value()) != it.value().size()) {
            *errorString = QStringLiteral("Cannot put %1 back for the restart").arg(it.key());
            return false;
        }
    }
    return true;
}

// A device as the host knows it, without anything a plugin attached to it.
struct Device {
    ThingClassId thingClassId;
    ThingId id;
    QString name;
    QList<State> states;
    ParamList settings;
};

// Every device of the host as it stands, states and settings included.
QList<Device> devicesOf(ThingManager *manager)
{
    QList<Device> devices;
    for (Thing *thing : manager->configuredThings()) {
        Device device{thing->thingClassId(), thing->id(), thing->name(), {}, thing->settings()};
        for (const StateType &stateType : thing->thingClass().stateTypes())
            device.states.append(thing->state(stateType.id()));
        devices.append(device);
    }
    return devices;
}

// The device added again with the same id, name, states and settings; null
// when the host refuses it.
Thing *addAgain(ThingManager *manager, const Device &device)
{
    Thing *thing = manager->addConfiguredThing(device.thingClassId, device.name, device.id);
    if (!thing)
        return nullptr;
    for (const State &state : device.states) {
        const QString name = thing->thingClass().stateTypes().findById(state.stateTypeId()).name();
        thing->setStateMinMaxValues(name, state.minValue(), state.maxValue());
        if (!state.possibleValues().isEmpty())
            thing->setStatePossibleValues(name, state.possibleValues());
        thing->setStateValue(name, state.value());
    }
    for (const Param &setting : device.settings)
        thing->setSettingValue(thing->thingClass().settingsTypes().findById(setting.paramTypeId()).name(),
                               setting.value());
    return thing;
}

} // namespace

bool Simulation::restartHost(QString *errorString)
{
    const QStringList folders = hostFolders();
    FolderCopy copy;
    if (!copyFolders(folders, &copy, errorString))
        return false;
    const QList<Device> devices = devicesOf(m_thingManager.get());
    // Where the household keeps its devices, with the ids to find them again.
    QList<QPair<Thing **, ThingId>> holders;
    auto hold = [&holders](Thing *&thing) {
        if (thing)
            holders.append({&thing, thing->id()});
    };
    for (Thing **thing : m_home.thingSlots())
        hold(*thing);
    hold(m_burstThing);
    for (ChargerState &charger : m_chargers)
        hold(charger.thing);
    for (CarState &car : m_cars)
        hold(car.thing);

    // Down: the plugin first, as at the end of a run; whatever it writes on
    // the way is undone below.
    delete m_plugin;
    m_plugin = nullptr;
    m_client.reset();
    m_jsonRpcServer.reset();
    m_thingsHandler.reset();
    m_energyHandler.reset();
    m_energyManager.reset();
    m_thingManager.reset();
    settle();
    if (!putBack(folders, copy, errorString))
        return false;

    // Up again: the same devices, as the host finds them at a start.
    m_thingManager = std::make_unique<ThingManager>();
    m_thingManager->setActionLogLimit(0);
    m_energyManager = std::make_unique<EnergyManager>(m_thingManager.get());
    QHash<ThingId, Thing *> things;
    for (const Device &device : qAsConst(devices)) {
        Thing *thing = addAgain(m_thingManager.get(), device);
        if (!thing) {
            *errorString = QStringLiteral("Cannot add %1 again after the restart").arg(device.name);
            return false;
        }
        things.insert(device.id, thing);
    }
    for (const auto &holder : qAsConst(holders))
        *holder.first = things.value(holder.second);
    const Things phones = m_thingManager->configuredThings().filterByInterface(QStringLiteral("notifications"));
    for (Thing *phone : phones)
        captureNotifications(phone);
    return startHost(m_pluginDirectory, errorString);
}
