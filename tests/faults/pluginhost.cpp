// A host process with the plugin loaded, for the tests that need a process of
// their own (the system bus connection is made once per process). The house:
// a grid meter exporting 7 kW, an AC charger with a car in eco mode (restored
// from "energy.conf", written here before the plugin starts).
//
// Prints "ready" when the plugin is up, then answers commands on stdin:
//   cycle  one simulated minute; prints "charger power=<0|1> current=<A>"
//   quit   ends with exit code 0
// Every warning of the plugin's category is printed as "warning: <text>".

#include "tavro-energy/energymanager.h"
#include "tavro-energy/energyplugin.h"
#include "tavro-energy/energypluginloader.h"
#include "tavro/jsonrpcserver.h"
#include "tavro/tavroclock.h"
#include "tavro/tavrosettings.h"
#include "tavro/thingmanager.h"

#include <QCoreApplication>
#include <QSettings>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

const ThingId chargerId(QStringLiteral("{7a1c1e52-0000-4000-8000-000000000001}"));
const ThingId carId(QStringLiteral("{7a1c1e52-0000-4000-8000-000000000002}"));

QtMessageHandler s_previousHandler = nullptr;

void forwardWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && qstrcmp(context.category, "TavroEnergy") == 0) {
        std::printf("warning: %s\n", qPrintable(message));
        std::fflush(stdout);
    }
    if (type != QtDebugMsg)
        s_previousHandler(type, context, message);
}

}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    s_previousHandler = qInstallMessageHandler(forwardWarnings);
    TavroClock::setCurrentDateTime(QDateTime(QDate(2026, 6, 1), QTime(12, 0, 30)));

    {
        QSettings settings(TavroSettings::settingsPath() + QStringLiteral("/energy.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("phasePowerConsumptionLimit"), 25);
        settings.beginGroup(QStringLiteral("ChargingConfigurations"));
        settings.beginGroup(chargerId.toString());
        settings.setValue(QStringLiteral("assignedCarId"), carId);
        settings.setValue(QStringLiteral("chargingMode"), 1);
        settings.setValue(QStringLiteral("targetPercentage"), 80);
    }

    ThingManager thingManager;
    EnergyManager energyManager(&thingManager);
    JsonRpcServer jsonRpcServer;
    Thing *meter = thingManager.addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Grid"));
    Thing *charger =
            thingManager.addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("Garage"), chargerId);
    Thing *car = thingManager.addConfiguredThing(QStringLiteral("electricVehicle"), QStringLiteral("Car"), carId);
    if (!meter || !charger || !car)
        return 3;
    charger->setStateValue(QStringLiteral("pluggedIn"), true);
    charger->setStateValue(QStringLiteral("phaseCount"), 3);
    const QVariantMap carStates{{"batteryLevel", 30},
                                {"capacity", 60.0},
                                {"acPhaseCount", 3},
                                {"acMinChargingCurrent", 6.0},
                                {"acMaxChargingCurrent", 16.0}};
    for (auto it = carStates.cbegin(); it != carStates.cend(); ++it)
        car->setStateValue(it.key(), it.value());
    for (const char *phase : {"A", "B", "C"}) {
        meter->setStateValue(QStringLiteral("currentPhase") + QLatin1String(phase), -7000.0 / 3 / 230);
        meter->setStateValue(QStringLiteral("currentPowerPhase") + QLatin1String(phase), -7000.0 / 3);
    }
    meter->setStateValue(QStringLiteral("currentPower"), -7000.0);

    const QStringList plugins = EnergyPluginLoader::findPlugins({qEnvironmentVariable("TAVRO_PLUGIN_PATH")});
    QString error;
    EnergyPlugin *plugin = plugins.isEmpty() ? nullptr
                                             : EnergyPluginLoader::load(plugins.first(), &energyManager, &thingManager,
                                                                        &jsonRpcServer, &error);
    if (!plugin) {
        std::fprintf(stderr, "No plugin: %s\n", qPrintable(error));
        return 4;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &application, [&]() {
        char buffer[256] = {};
        const ssize_t size = read(STDIN_FILENO, buffer, sizeof(buffer) - 1);
        const QList<QByteArray> commands = QByteArray(buffer, size > 0 ? int(size) : 0).split('\n');
        if (size <= 0) {
            application.exit(5);
            return;
        }
        for (const QByteArray &command : commands) {
            if (command.trimmed() == "quit") {
                application.quit();
            } else if (command.trimmed() == "cycle") {
                TavroClock::setCurrentDateTime(TavroClock::currentDateTime().addSecs(60));
                energyManager.sampleMinute(TavroClock::currentDateTime());
                for (int i = 0; i < 5; i++) {
                    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                    QCoreApplication::processEvents();
                }
                std::printf("charger power=%d current=%g\n", charger->stateValue(QStringLiteral("power")).toBool(),
                            charger->stateValue(QStringLiteral("maxChargingCurrent")).toDouble());
                std::fflush(stdout);
            }
        }
    });
    const int code = application.exec();
    // Before the host's managers go: the plugin's objects refer to them.
    delete plugin;
    return code;
}
