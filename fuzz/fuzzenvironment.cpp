#include "fuzzenvironment.h"
#include "settingssandbox.h"

#include "tavro/tavroclock.h"
#include "tavro/tavrosettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QFile>

#include <cstdio>
#include <cstdlib>

namespace {

SettingsSandbox *s_directory = nullptr;
bool s_verbose = false;

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        std::abort();
    }
    if (s_verbose)
        std::fprintf(stderr, "%s: %s\n", context.category ? context.category : "default", qPrintable(message));
}

}

void FuzzEnvironment::initialize()
{
    if (s_directory)
        return;

    s_verbose = qEnvironmentVariableIntValue("TAVRO_FUZZ_VERBOSE") > 0;
    qInstallMessageHandler(messageHandler);
    // Formatting the debug log of every cycle would cost more than the work.
    if (!s_verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));

    // Lives as long as the process; the fuzzer ends it with exit().
    static int argc = 1;
    static char name[] = "tavro-fuzz";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);

    s_directory = new SettingsSandbox(QDir::tempPath() + QStringLiteral("/tavro-fuzz-XXXXXX"));
    if (!s_directory->isValid()) {
        std::fprintf(stderr, "Cannot create a scratch directory\n");
        std::abort();
    }
    s_directory->apply();
    // An empty place: the notifications keep their source texts.
    qputenv("TAVRO_TRANSLATIONS_PATH", s_directory->filePath(QStringLiteral("translations")).toUtf8());
    qunsetenv("TAVRO_ENERGY_MANAGER_CONFIG");
    // No input may reach a real service or bus.
    qputenv("TAVRO_AWATTAR_AT_URL", "http://127.0.0.1:9");
    qputenv("TAVRO_AWATTAR_DE_URL", "http://127.0.0.1:9");
    qputenv("TAVRO_ENERGY_CHARTS_URL", "http://127.0.0.1:9");
    qputenv("TAVRO_FORECAST_SOLAR_URL", "http://127.0.0.1:9");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tavro-fuzz-bus");
    std::atexit([]() {
        delete s_directory;
        s_directory = nullptr;
    });
    reset();
}

void FuzzEnvironment::reset()
{
    s_directory->clear();
    TavroClock::setCurrentDateTime(start());
}

QDateTime FuzzEnvironment::start()
{
    // 2026-01-05 is a Monday.
    return QDateTime(QDate(2026, 1, 5), QTime(12, 0, 30));
}

QString FuzzEnvironment::settingsFile()
{
    return TavroSettings::settingsPath() + QStringLiteral("/energy.conf");
}

QString FuzzEnvironment::cacheFile()
{
    return TavroSettings::cachePath() + QStringLiteral("/tavro-energy-spotmarket-data.cache");
}

QString FuzzEnvironment::storageFile(const QString &name)
{
    return TavroSettings::storagePath() + QLatin1Char('/') + name;
}

bool FuzzEnvironment::writeFile(const QString &fileName, const QByteArray &data)
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(data) == data.size();
}

void FuzzEnvironment::processEvents()
{
    // Actions run one loop turn after they are queued and finish one later;
    // their results may queue more.
    for (int i = 0; i < 5; i++) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}
