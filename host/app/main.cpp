// The stand-in host: loads the energy plugins it finds and runs them over a
// household: the one described in --household FILE, else a small built-in
// one (a grid meter, an AC charger, a car). Either in real time, or
// --minutes N of simulated time as fast as possible.
// With --jsonrpc-port the JSON-RPC API is served on 127.0.0.1 (port 0 picks
// a free one); the line "JSON-RPC listening on 127.0.0.1:<port>" on stdout
// tells clients where, once the plugins' namespaces are registered. Admin
// tokens come from --token-file (or --token, which the process list shows).

#include "tavro-energy/energymanager.h"
#include "tavro-energy/energyplugin.h"
#include "tavro-energy/energypluginloader.h"
#include "tavro/household.h"
#include "tavro/jsonrpcserver.h"
#include "tavro/jsonrpcthingshandler.h"
#include "tavro/tavroclock.h"
#include "tavro/tavrosettings.h"
#include "tavro/thingmanager.h"
#include "tavro/types.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

QStringList pluginDirectories(const QString &option)
{
    QStringList directories;
    if (!option.isEmpty())
        directories << option;
    const QString fromEnvironment = qEnvironmentVariable("TAVRO_PLUGIN_PATH");
    if (!fromEnvironment.isEmpty())
        directories << fromEnvironment.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    // The build tree keeps the plugins beside bin/, an installation in the
    // host's plugin folder under the prefix.
    directories << QCoreApplication::applicationDirPath() + QStringLiteral("/../plugins")
                << QCoreApplication::applicationDirPath() + QStringLiteral("/../" TAVRO_PLUGIN_INSTALL_DIR);
    return directories;
}

// Appends the tokens of the file (one per line, blank lines and lines
// starting with # skipped). A file other users may read is used, with a
// warning: the tokens are only as secret as the file.
bool readTokenFile(const QString &fileName, QStringList *tokens, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("Cannot read the token file %1: %2").arg(fileName, file.errorString());
        return false;
    }
    int count = 0;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        tokens->append(line);
        count++;
    }
    if (count == 0) {
        *error = QStringLiteral("The token file %1 holds no token").arg(fileName);
        return false;
    }
    if (file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther))
        std::fprintf(stderr, "Warning: other users may read the token file %s\n", qPrintable(fileName));
    return true;
}

const QString overloadProtectionOff =
        QStringLiteral("Overload protection is OFF: no phase limit is set, so nothing keeps the chargers from "
                       "overloading the fuse. Set \"phaseLimit\" in the household file or call "
                       "TavroEnergy.SetPhasePowerLimit.");

// Says loudly, in the log and to every client, while the phase limit is
// unset.
void watchPhaseLimit(JsonRpcServer *server)
{
    const auto update = [server](uint limit) {
        if (limit == 0 && !server->warnings().contains(overloadProtectionOff))
            std::fprintf(stderr, "WARNING: %s\n", qPrintable(overloadProtectionOff));
        server->setWarnings(limit == 0 ? QStringList{overloadProtectionOff} : QStringList());
    };
    QString error;
    const QVariantMap reply = server->call(QStringLiteral("TavroEnergy.GetPhasePowerLimit"), {}, &error);
    if (!error.isEmpty())
        return;
    update(reply.value(QStringLiteral("phasePowerLimit")).toUInt());
    QObject::connect(server, &JsonRpcServer::notificationEmitted, server,
                     [update](const QString &name, const QVariantMap &params) {
                         if (name == QLatin1String("TavroEnergy.PhasePowerLimitChanged"))
                             update(params.value(QStringLiteral("phasePowerLimit")).toUInt());
                     });
}

bool secondsOption(const QCommandLineParser &parser, const QCommandLineOption &option, int *milliseconds)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const double seconds = parser.value(option).toDouble(&ok);
    if (!ok || seconds < 0 || seconds > 86400) {
        std::fprintf(stderr, "--%s needs seconds from 0 to 86400\n", qPrintable(option.names().first()));
        return false;
    }
    *milliseconds = static_cast<int>(seconds * 1000);
    return true;
}

void buildHousehold(ThingManager *thingManager)
{
    Thing *meter = thingManager->addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Grid meter"));
    Thing *charger = thingManager->addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("Wallbox"));
    Thing *car = thingManager->addConfiguredThing(QStringLiteral("electricVehicleConnected"), QStringLiteral("Car"));
    car->setStateValue(QStringLiteral("batteryLevel"), 40);
    charger->setStateValue(QStringLiteral("pluggedIn"), true);
    // 2 kW export spread over three phases.
    for (const char *phase : {"A", "B", "C"}) {
        meter->setStateValue(QStringLiteral("currentPowerPhase") + QLatin1String(phase), -2000.0 / 3);
        meter->setStateValue(QStringLiteral("currentPhase") + QLatin1String(phase), -2000.0 / 3 / 230);
    }
    meter->setStateValue(QStringLiteral("currentPower"), -2000.0);
}

}

int main(int argc, char *argv[])
{
    // Without TZ the C library re-reads the time-zone file's status on every
    // local date-time conversion, and the plugin converts several per charger
    // and cycle; naming the file once keeps the system's zone and its rules.
    if (qEnvironmentVariableIsEmpty("TZ")) {
        qputenv("TZ", ":/etc/localtime");
        tzset();
    }
    QCoreApplication application(argc, argv);
    application.setApplicationName(QStringLiteral("tavro-host"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Stand-in home-automation host for energy plugins"));
    parser.addHelpOption();
    QCommandLineOption pluginOption(QStringLiteral("plugin-dir"), QStringLiteral("Directory with energy plugins."),
                                    QStringLiteral("dir"));
    QCommandLineOption minutesOption(QStringLiteral("minutes"),
                                     QStringLiteral("Run N simulated minutes as fast as possible, then quit."),
                                     QStringLiteral("N"));
    QCommandLineOption portOption(QStringLiteral("jsonrpc-port"),
                                  QStringLiteral("Serve JSON-RPC on 127.0.0.1:N (0: any free port)."),
                                  QStringLiteral("N"));
    QCommandLineOption tokenOption(QStringLiteral("token"),
                                   QStringLiteral("A JSON-RPC token with every permission (may be repeated). "
                                                  "Every local user can read it in the process list: prefer "
                                                  "--token-file."),
                                   QStringLiteral("token"));
    QCommandLineOption tokenFileOption(QStringLiteral("token-file"),
                                       QStringLiteral("A file with JSON-RPC tokens with every permission, one per "
                                                      "line (lines starting with # are comments)."),
                                       QStringLiteral("file"));
    QCommandLineOption maxConnectionsOption(
            QStringLiteral("max-connections"),
            QStringLiteral("JSON-RPC connections kept at once (default %1).").arg(JsonRpcServer::defaultMaxConnections),
            QStringLiteral("N"));
    QCommandLineOption householdOption(QStringLiteral("household"),
                                       QStringLiteral("A JSON file describing the household (meter, chargers, cars, "
                                                      "batteries, PV, phase limit, prices)."),
                                       QStringLiteral("file"));
    QCommandLineOption lineTimeoutOption(
            QStringLiteral("line-timeout"),
            QStringLiteral("Close a JSON-RPC connection whose unfinished line has been arriving this long (default "
                           "%1, 0: never).")
                    .arg(JsonRpcServer::defaultUnfinishedLineTimeout / 1000),
            QStringLiteral("seconds"));
    QCommandLineOption idleTimeoutOption(
            QStringLiteral("idle-timeout"),
            QStringLiteral("Close an authenticated JSON-RPC connection that sends no request this long (default 0: "
                           "never; clients that only listen for notifications stay)."),
            QStringLiteral("seconds"));
    parser.addOptions({pluginOption, minutesOption, portOption, tokenOption, tokenFileOption, maxConnectionsOption,
                       householdOption, lineTimeoutOption, idleTimeoutOption});
    parser.process(application);

    // The user's own folders (or those the TAVRO_*_PATH variables name),
    // nobody else's: a settings file someone else put there could switch
    // the overload protection off.
    for (const QString &folder :
         {TavroSettings::settingsPath(), TavroSettings::storagePath(), TavroSettings::cachePath()}) {
        QString error;
        if (!TavroSettings::isPrivateFolder(folder, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }

    const bool simulated = parser.isSet(minutesOption);
    if (simulated)
        TavroClock::setCurrentDateTime(QDateTime(QDate::currentDate(), QTime(12, 0)));

    ThingManager thingManager;
    EnergyManager energyManager(&thingManager);
    JsonRpcServer jsonRpcServer;
    JsonRpcThingsHandler thingsHandler(&thingManager);
    jsonRpcServer.registerHandler(&thingsHandler, 1, 0);
    Household household;
    if (parser.isSet(householdOption)) {
        QString error;
        QString priceUrl;
        if (!household.load(parser.value(householdOption), &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        if (!household.build(&thingManager, &error) || !household.startPrices(&priceUrl, &error)) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(parser.value(householdOption)), qPrintable(error));
            return 1;
        }
        if (!priceUrl.isEmpty())
            qputenv(household.priceVariable().toUtf8().constData(), priceUrl.toUtf8());
    } else {
        buildHousehold(&thingManager);
    }

    const QStringList plugins = EnergyPluginLoader::findPlugins(pluginDirectories(parser.value(pluginOption)));
    if (plugins.isEmpty()) {
        std::fprintf(stderr, "No energy plugin found.\n");
        return 1;
    }
    for (const QString &fileName : plugins) {
        QString error;
        if (!EnergyPluginLoader::load(fileName, &energyManager, &thingManager, &jsonRpcServer, &error))
            std::fprintf(stderr, "%s\n", qPrintable(error));
    }

    if (parser.isSet(householdOption)) {
        QString error;
        if (!household.apply(&jsonRpcServer, &error)) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(parser.value(householdOption)), qPrintable(error));
            return 1;
        }
    }
    watchPhaseLimit(&jsonRpcServer);

    QStringList tokens = parser.values(tokenOption);
    if (parser.isSet(tokenFileOption)) {
        QString error;
        if (!readTokenFile(parser.value(tokenFileOption), &tokens, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    for (const QString &token : qAsConst(tokens))
        jsonRpcServer.addToken(token, Types::PermissionScopeAdmin);
    JsonRpcConnectionPolicy::Limits limits = jsonRpcServer.connectionLimits();
    if (parser.isSet(maxConnectionsOption)) {
        bool ok = false;
        limits.maxConnections = parser.value(maxConnectionsOption).toInt(&ok);
        if (!ok || limits.maxConnections < 1) {
            std::fprintf(stderr, "--max-connections needs a number of at least 1\n");
            return 1;
        }
    }
    if (!secondsOption(parser, lineTimeoutOption, &limits.unfinishedLineTimeout)
        || !secondsOption(parser, idleTimeoutOption, &limits.idleTimeout))
        return 1;
    jsonRpcServer.setConnectionLimits(limits);
    if (parser.isSet(portOption)) {
        bool ok = false;
        const uint port = parser.value(portOption).toUInt(&ok);
        if (!ok || port > 65535
            || !jsonRpcServer.listen(static_cast<quint16>(port), QHostAddress(QHostAddress::LocalHost))) {
            std::fprintf(stderr, "Cannot serve JSON-RPC on 127.0.0.1:%s\n", qPrintable(parser.value(portOption)));
            return 1;
        }
        std::printf("JSON-RPC listening on 127.0.0.1:%u\n", jsonRpcServer.serverPort());
        std::fflush(stdout);
    }

    if (!simulated) {
        energyManager.startMinuteSampling();
        return application.exec();
    }

    const int minutes = parser.value(minutesOption).toInt();
    for (int minute = 0; minute < minutes; minute++) {
        energyManager.sampleMinute(TavroClock::currentDateTime());
        for (int i = 0; i < 5; i++)
            QCoreApplication::processEvents();
        TavroClock::setCurrentDateTime(TavroClock::currentDateTime().addSecs(60));
    }
    return 0;
}
