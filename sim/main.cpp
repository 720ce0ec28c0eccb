// The household simulator: runs scenarios against the real plugin on the
// stand-in host and reports what smart charging achieved.

#include "report.h"
#include "scorecard.h"
#include "scenario.h"
#include "simulation.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace {

// What the plugin logs, as a user of the simulator wants it on stderr: each
// text once (a week repeats a warning hundreds of times), without the
// notices the simulator causes itself or counts in the report.
struct LogFilter {
    bool busCut = false; // the simulator keeps the household off the system bus
    QSet<QString> shown; // texts printed so far
    int heldBack = 0;    // repeats not printed
};

LogFilter &logFilter()
{
    static LogFilter filter;
    return filter;
}

void filteredMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    LogFilter &filter = logFilter();
    // The on/off locks come with every switch the report counts.
    if (message.contains(QLatin1String(" power is now locked for "))
        || message.endsWith(QLatin1String(" power is now unlocked")))
        return;
    if (filter.busCut && message.startsWith(QLatin1String("Could not connect to DBus system bus.")))
        return;
    const QString line = context.category && qstrcmp(context.category, "default") != 0
                                 ? QString::fromLatin1(context.category) + QStringLiteral(": ") + message
                                 : message;
    if (filter.shown.contains(line)) {
        filter.heldBack++;
        return;
    }
    filter.shown.insert(line);
    std::fprintf(stderr, "%s\n", qPrintable(line));
    if (type == QtFatalMsg)
        std::abort();
}

void useTemporaryDataDirectories(const QTemporaryDir &directory)
{
    // The simulated household never touches a user's settings.
    const char *variables[] = {"TAVRO_SETTINGS_PATH", "TAVRO_STORAGE_PATH", "TAVRO_CACHE_PATH"};
    for (const char *variable : variables) {
        const QString path = directory.path() + QLatin1Char('/') + QString::fromLatin1(variable).toLower();
        QDir().mkpath(path);
        qputenv(variable, path.toUtf8());
    }
}

// The timeline and the chart beside base, each named in the report's text
// (shown: how the text names base); a failure goes to stderr.
QString writeFiles(const Report &report, const QString &base, const QString &shown)
{
    QString text;
    QString error;
    if (report.writeCsv(base + QStringLiteral(".csv"), &error))
        text += QStringLiteral("Timeline: %1.csv\n").arg(shown);
    else
        std::fprintf(stderr, "Cannot write the timeline: %s\n", qPrintable(error));
    if (report.writeChart(base + QStringLiteral(".csv"), base + QStringLiteral(".png"), &error))
        text += QStringLiteral("Chart:    %1.png\n").arg(shown);
    else
        std::fprintf(stderr, "Cannot draw the chart: %s\n", qPrintable(error));
    return text;
}

// The scenario's pending and failed expectations as the report's last lines.
QString expectationsText(const Report &report)
{
    QString text;
    const QStringList pending = report.pendingExpectations();
    if (!pending.isEmpty()) {
        text += QStringLiteral("Expectations pending (the plugin does not meet them yet; not checked):\n");
        for (const QString &line : pending)
            text += QStringLiteral("  - %1\n").arg(line);
    }
    const QStringList failures = report.failedExpectations();
    if (failures.isEmpty()) {
        text += QStringLiteral("Expectations: all met.\n");
    } else {
        text += QStringLiteral("Expectations not met:\n");
        for (const QString &failure : failures)
            text += QStringLiteral("  - %1\n").arg(failure);
    }
    return text;
}

// Loads a scenario and sets its household up around the plugin, with data
// folders of its own in `data` (which must outlive the run); null, with the
// reason printed, when either fails.
std::unique_ptr<Simulation> setUpScenario(const QString &fileName, const QByteArray &defaultTimeZone,
                                          const QString &pluginDirectory, const QTemporaryDir &data)
{
    QString error;
    const Scenario scenario = Scenario::load(fileName, defaultTimeZone, &error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return nullptr;
    }
    useTemporaryDataDirectories(data);
    auto simulation = std::make_unique<Simulation>(scenario);
    if (!simulation->setUp(pluginDirectory, &error)) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(fileName), qPrintable(error));
        return nullptr;
    }
    return simulation;
}

// Runs one scenario and prints its report, or hands it to the scorecard.
int runScenario(const QString &fileName, const QByteArray &defaultTimeZone, const QString &pluginDirectory,
                const QString &outputDirectory, bool check, Scorecard *scorecard)
{
    QTemporaryDir data;
    const std::unique_ptr<Simulation> loaded = setUpScenario(fileName, defaultTimeZone, pluginDirectory, data);
    if (!loaded)
        return 2;
    Simulation &simulation = *loaded;
    const Scenario &scenario = simulation.scenario();
    QElapsedTimer timer;
    timer.start();
    const std::clock_t cpuStart = std::clock();
    simulation.run();
    const qint64 elapsed = timer.elapsed();
    const long long cpuMs = static_cast<long long>((std::clock() - cpuStart) * 1000 / CLOCKS_PER_SEC);

    const std::clock_t reportStart = std::clock();
    const Report report(simulation);
    const long long reportCpuMs = static_cast<long long>((std::clock() - reportStart) * 1000 / CLOCKS_PER_SEC);
    QString text = report.table();
    // Times differ from run to run; stdout stays reproducible.
    std::fprintf(stderr, "Simulated %d minutes in %lld ms (%lld ms CPU); report with the limit %lld ms CPU.\n",
                 scenario.durationMinutes, static_cast<long long>(elapsed), cpuMs, reportCpuMs);
    const SoakFigures &soak = simulation.soak();
    if (soak.heapAfterFirstDay >= 0 && soak.heapAtEnd >= 0)
        std::fprintf(stderr, "Heap in use: %lld bytes at the end of day 1, %lld bytes at the end (%+lld).\n",
                     static_cast<long long>(soak.heapAfterFirstDay), static_cast<long long>(soak.heapAtEnd),
                     static_cast<long long>(soak.heapAtEnd - soak.heapAfterFirstDay));

    const QString base = QDir(outputDirectory).filePath(QFileInfo(fileName).completeBaseName());
    QDir().mkpath(outputDirectory);
    // The scorecard's page lies beside the files: it names them, no machine path.
    text += writeFiles(report, base, scorecard ? QFileInfo(base).fileName() : base);
    text += expectationsText(report);
    if (scorecard)
        scorecard->add(QFileInfo(fileName).completeBaseName(), report, text, !scenario.hourlyPrices.isEmpty());
    else
        std::printf("%s\n", qPrintable(text));
    return report.failedExpectations().isEmpty() || !check ? 0 : 1;
}

// The command line: the scenarios and what to do with them.
struct Options {
    QStringList scenarios;
    QString pluginDirectory;
    QString outputDirectory;
    bool check = false;
    bool serve = false;
    bool scorecard = false;
    QString speed;   // --serve: simulated minutes per real minute, unchecked
    QString webPort; // --serve: the page's port, unchecked
};

// Shows the help and exits without a scenario.
Options parseOptions(const QCoreApplication &application)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Household simulator for the smart charging plugin"));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("scenario"), QStringLiteral("Scenario JSON files."));
    // The build tree keeps the plugin beside bin/, an installation in the
    // host's plugin folder under the prefix.
    const QString builtPlugins = QCoreApplication::applicationDirPath() + QStringLiteral("/../plugins");
    const QString installedPlugins =
            QCoreApplication::applicationDirPath() + QStringLiteral("/../" TAVRO_PLUGIN_INSTALL_DIR);
    const QCommandLineOption pluginOption(QStringLiteral("plugin-dir"),
                                          QStringLiteral("Directory of the built plugin."), QStringLiteral("dir"),
                                          QFileInfo(builtPlugins).isDir() ? builtPlugins : installedPlugins);
    const QCommandLineOption outputOption(QStringLiteral("out"), QStringLiteral("Directory for the CSV and PNG files."),
                                          QStringLiteral("dir"), QStringLiteral("sim-output"));
    const QCommandLineOption checkOption(QStringLiteral("check"),
                                         QStringLiteral("Exit with 1 when an expectation fails."));
    const QCommandLineOption serveOption(
            QStringLiteral("serve"),
            QStringLiteral("Run the first scenario in real time with the JSON-RPC server and the owner's page on "
                           "127.0.0.1."));
    const QCommandLineOption speedOption(QStringLiteral("speed"),
                                         QStringLiteral("Simulated minutes per real minute in --serve."),
                                         QStringLiteral("factor"), QStringLiteral("1"));
    const QCommandLineOption webPortOption(QStringLiteral("web-port"),
                                           QStringLiteral("The page's port in --serve (default 0: a free one)."),
                                           QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption scorecardOption(
            QStringLiteral("scorecard"),
            QStringLiteral("Print one table of the owner's goals over all scenarios and write "
                           "index.html with every report and chart into the --out directory."));
    parser.addOptions(
            {pluginOption, outputOption, checkOption, serveOption, speedOption, webPortOption, scorecardOption});
    parser.process(application);

    Options options;
    options.scenarios = parser.positionalArguments();
    if (options.scenarios.isEmpty()) {
        parser.showHelp(2);
    }
    options.pluginDirectory = parser.value(pluginOption);
    options.outputDirectory = parser.value(outputOption);
    options.check = parser.isSet(checkOption);
    options.serve = parser.isSet(serveOption);
    options.scorecard = parser.isSet(scorecardOption);
    options.speed = parser.value(speedOption);
    options.webPort = parser.value(webPortOption);
    return options;
}

// --serve: the first scenario in real time until its last minute.
int serve(QCoreApplication &application, const Options &options, const QByteArray &defaultTimeZone)
{
    QTemporaryDir data;
    const std::unique_ptr<Simulation> loaded =
            setUpScenario(options.scenarios.first(), defaultTimeZone, options.pluginDirectory, data);
    if (!loaded)
        return 2;
    Simulation &simulation = *loaded;
    const Scenario &scenario = simulation.scenario();
    bool portOk = false;
    const uint webPort = options.webPort.toUInt(&portOk);
    const double speed = options.speed.toDouble();
    if (!portOk || webPort > 65535 || !(speed >= 0.01 && speed <= 100000)) {
        std::fprintf(stderr, "--web-port needs a port (0: a free one), --speed a factor from 0.01 to 100000\n");
        return 2;
    }
    // The page lies beside the programs, in the build tree as installed.
    const QString webDirectory =
            qEnvironmentVariableIsEmpty("TAVRO_WEB_PATH")
                    ? QCoreApplication::applicationDirPath() + QStringLiteral("/../share/tavro/web")
                    : qEnvironmentVariable("TAVRO_WEB_PATH");
    const quint16 pagePort = simulation.servePage(webDirectory, static_cast<quint16>(webPort));
    if (pagePort == 0) {
        std::fprintf(stderr, "Cannot serve the page on 127.0.0.1:%u\n", webPort);
        return 2;
    }
    std::printf("Serving \"%s\" at %g simulated minutes per minute: JSON-RPC on 127.0.0.1:%u, token \"%s\" "
                "(JSONRPC.Authenticate).\nPage: http://127.0.0.1:%u/\n",
                qPrintable(scenario.name), speed, simulation.jsonRpcPort(), qPrintable(simulation.adminToken()),
                pagePort);
    std::fflush(stdout);
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, &application, [&]() {
        if (!simulation.step()) {
            timer.stop();
            const Report report(simulation);
            std::printf("%s", qPrintable(report.table()));
            application.quit();
        }
    });
    timer.start(static_cast<int>(60000 / speed));
    return application.exec();
}

// Every scenario in turn, then the scorecard if asked for; the worst exit code.
int runAll(const Options &options, const QByteArray &defaultTimeZone)
{
    int result = 0;
    Scorecard scorecard;
    Scorecard *card = options.scorecard ? &scorecard : nullptr;
    for (const QString &scenario : options.scenarios)
        result = qMax(result, runScenario(scenario, defaultTimeZone, options.pluginDirectory, options.outputDirectory,
                                          options.check, card));
    if (logFilter().heldBack > 0)
        std::fprintf(stderr, "(%d repeats of the messages above held back)\n", logFilter().heldBack);
    if (card) {
        std::printf("%s", qPrintable(scorecard.table()));
        QString error;
        const QString page = QDir(options.outputDirectory).absoluteFilePath(QStringLiteral("index.html"));
        if (scorecard.writeHtml(options.outputDirectory, &error))
            std::printf("Page: %s\n", qPrintable(page));
        else
            std::fprintf(stderr, "Cannot write %s: %s\n", qPrintable(page), qPrintable(error));
    }
    return result;
}

}

int main(int argc, char *argv[])
{
    // Hash order decides the order in which chargers are visited; a fixed
    // seed makes every run of a scenario the same.
    qSetGlobalQHashSeed(0);
    // Scenario times are local times of the scenario's own zone. One that
    // names none runs in the zone TZ names, else in UTC whatever the
    // machine's zone: two machines report the same. A set TZ also spares
    // the C library a look at /etc/localtime on every local time
    // conversion, which otherwise dominates the run time.
    const QByteArray defaultTimeZone = qgetenv("TZ");
    // A simulated household has no business on the machine's system bus: a
    // running energy manager there owns the name, and clients would see
    // simulated chargers. A bus the user names is used.
    if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS")) {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tavro-energy-sim");
        logFilter().busCut = true;
    }
    qputenv("TZ", defaultTimeZone.isEmpty() ? QByteArrayLiteral("UTC0") : defaultTimeZone);
    tzset();
    QCoreApplication application(argc, argv);
    application.setApplicationName(QStringLiteral("tavro-energy-sim"));
    // With rules of their own a developer sees every line.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES")) {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
        qInstallMessageHandler(filteredMessage);
    }

    const Options options = parseOptions(application);
    return options.serve ? serve(application, options, defaultTimeZone) : runAll(options, defaultTimeZone);
}
