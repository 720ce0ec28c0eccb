// The stand-in host: loads the energy plugins it finds and runs them over a
// small built-in household (a grid meter, an AC charger, a car). Either in
// real time, or --minutes N of simulated time as fast as possible.
// With --jsonrpc-port the JSON-RPC API is served on 127.0.0.1 (port 0 picks
// a free one); the line "JSON-RPC listening on 127.0.0.1:<port>" on stdout
// tells clients where, once the plugins' namespaces are registered. Admin
// tokens come from --token-file (or --token, which the process list shows).

#include "tavro-energy/energymanager.h"
#include "tavro-energy/energyplugin.h"
#include "tavro-energy/energypluginloader.h"
#include "tavro/jsonrpcserver.h"
#include "tavro/tavroclock.h"
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
    parser.addOptions({pluginOption, minutesOption, portOption, tokenOption, tokenFileOption, maxConnectionsOption});
    parser.process(application);

    const QString dataRoot = QDir::tempPath() + QStringLiteral("/tavro-host");
    for (const char *variable : {"TAVRO_SETTINGS_PATH", "TAVRO_STORAGE_PATH", "TAVRO_CACHE_PATH"}) {
        if (qEnvironmentVariableIsEmpty(variable))
            qputenv(variable, QString(dataRoot + QLatin1Char('/')
                                      + QString::fromLatin1(variable).section(QLatin1Char('_'), 1, 1).toLower())
                                      .toUtf8());
    }

    const bool simulated = parser.isSet(minutesOption);
    if (simulated)
        TavroClock::setCurrentDateTime(QDateTime(QDate::currentDate(), QTime(12, 0)));

    ThingManager thingManager;
    EnergyManager energyManager(&thingManager);
    JsonRpcServer jsonRpcServer;
    buildHousehold(&thingManager);

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
    if (parser.isSet(maxConnectionsOption)) {
        bool ok = false;
        const int connections = parser.value(maxConnectionsOption).toInt(&ok);
        if (!ok || connections < 1) {
            std::fprintf(stderr, "--max-connections needs a number of at least 1\n");
            return 1;
        }
        jsonRpcServer.setMaxConnections(connections);
    }
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
