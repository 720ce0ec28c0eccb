#include "faultsupport.h"
#include "settingssandbox.h"

#include "householdfixture.h"

#include "config/energysettings.h"
#include "forecast/solarforecastmanager.h"
#include "jsonrpc/tavroenergyjsonhandler.h"
#include "smartcharging/smartchargingmanager.h"
#include "spotmarket/spotmarketmanager.h"

#include "tavro/jsonreply.h"
#include "tavro/jsonrpcserver.h"

#include "tavro/thing.h"
#include "tavro/thingmanager.h"

#include <QBitArray>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLine>
#include <QRect>
#include <QRegExp>
#include <QRegularExpression>
#include <QUrl>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <memory>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// "energy.conf" damaged, unreadable or unwritable, and the process killed
// while writing it. The manager starts with what can be read, the defaults
// for the rest, and never throws away the settings it could not change.

namespace {

using namespace FaultSupport;

const ThingId chargerId(QStringLiteral("{5e771265-0000-4000-8000-000000000001}"));
const ThingId carId(QStringLiteral("{5e771265-0000-4000-8000-000000000002}"));
const QByteArray chargerGroup = "%7B5e771265-0000-4000-8000-000000000001%7D";
const uid_t nobody = 65534;
// A list count Qt would reserve 16 GB for.
const QByteArray damagedLine =
        chargerGroup + "\\repeatDays=@Variant(\\0\\0\\0\\t\\xff\\xff\\xff\\xfe\\0\\0\\0\\x2\\0\\0\\0\\x3)\n";

// A user's file: global limits, one charger in eco mode with its car, and the
// spot-market selection.
const QByteArray soundSettings = "[General]\n"
                                 "phasePowerConsumptionLimit=20\n"
                                 "acquisitionTolerance=0.25\n"
                                 "\n"
                                 "[ChargingConfigurations]\n"
                                 + chargerGroup + "\\assignedCarId={5e771265-0000-4000-8000-000000000002}\n"
                                 + chargerGroup + "\\chargingMode=1\n" + chargerGroup
                                 + "\\targetPercentage=70\n"
                                   "\n"
                                   "[SpotMarket]\n"
                                   "enabled=false\n"
                                   "providerId={0ca6ad88-e243-438d-a0f8-986cecf61834}\n";

struct Household {
    Household()
    {
        fixture.thingManager()->addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Grid"));
        charger = fixture.thingManager()->addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("Garage"),
                                                             chargerId);
        fixture.thingManager()->addConfiguredThing(QStringLiteral("electricVehicle"), QStringLiteral("Car"), carId);
    }

    QString settingsFile() const { return fixture.settingsPath() + QStringLiteral("/energy.conf"); }

    HouseholdFixture fixture;
    Thing *charger = nullptr;
};

// A method of the handler called as the server calls it; null when there is none.
std::unique_ptr<JsonReply> invoke(TavroEnergyJsonHandler &handler, const QString &method, const QVariantMap &params)
{
    JsonReply *reply = nullptr;
    const QByteArray name = method.toLatin1();
    const bool withContext = method == QLatin1String("SetChargingConfiguration");
    const bool invoked =
            withContext ? QMetaObject::invokeMethod(&handler, name.constData(), Qt::DirectConnection,
                                                    Q_RETURN_ARG(JsonReply *, reply), Q_ARG(QVariantMap, params),
                                                    Q_ARG(JsonContext, JsonContext()))
                        : QMetaObject::invokeMethod(&handler, name.constData(), Qt::DirectConnection,
                                                    Q_RETURN_ARG(JsonReply *, reply), Q_ARG(QVariantMap, params));
    return std::unique_ptr<JsonReply>(invoked ? reply : nullptr);
}

// Runs as another user while it lives (root passes every permission check).
class UnprivilegedScope
{
public:
    explicit UnprivilegedScope(bool wanted = true)
        : m_switched(wanted && geteuid() == 0)
    {
        m_ok = !m_switched || seteuid(nobody) == 0;
    }
    ~UnprivilegedScope()
    {
        if (m_switched && m_ok)
            m_ok = seteuid(0) == 0;
    }
    bool ok() const { return m_ok; }

private:
    bool m_switched = false;
    bool m_ok = true;
};

}

class TestSettingsFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void damagedFile_data();
    void damagedFile();
    void damagedValues_data();
    void damagedValues();
    void valuesOfOtherTypes_data();
    void valuesOfOtherTypes();
    void lockedFile_data();
    void lockedFile();
    void refusedStores_data();
    void refusedStores();
    void killedWhileWriting_data();
    void killedWhileWriting();

private:
    int m_faults = 0;
    int m_kills = 0;
};

void TestSettingsFaults::initTestCase()
{
    FaultSupport::recordWarnings();
}

void TestSettingsFaults::cleanupTestCase()
{
    FaultSupport::stopRecording();
    qInfo("Settings faults injected: %d, processes killed while writing: %d", m_faults, m_kills);
}

void TestSettingsFaults::init()
{
    FaultSupport::warnings().clear();
}

void TestSettingsFaults::damagedFile_data()
{
    QTest::addColumn<QByteArray>("content");

    // Each of these makes the INI reader report a format error.
    static const char junk[] = "\n\x00\xff\xfe\x01junk\x7f\n[ChargingConfigurations]";
    QTest::newRow("lines without a key")
            << QByteArray(soundSettings).replace("\n[SpotMarket]", "\nthis is no setting\n=\n[SpotMarket]");
    QTest::newRow("binary junk")
            << QByteArray(soundSettings).replace("\n[ChargingConfigurations]", QByteArray(junk, sizeof(junk) - 1));
    QTest::newRow("unclosed section header") << soundSettings + "[Padding\nkey=value\n";
    QTest::newRow("cut off in a section header") << soundSettings + "\n[Chargi";
    // Binary values Qt would crash on, or reserve 16 GB for.
    QTest::newRow("date-time in a zone that does not exist")
            << QByteArray(soundSettings)
                       .replace(
                               "\\chargingMode=1\n",
                               "\\chargingMode=1\n" + chargerGroup
                                       + "\\endDateTime=@DateTime(\\0\\0\\0\\x10\\0\\0\\0\\0\\0\\0%\\x8e\\xc5\\x2 q\\xfe\\x3\\0\\0\\0\\x4\\0X\\0Y)\n");
    QTest::newRow("list of four billion days")
            << QByteArray(soundSettings).replace("\\chargingMode=1\n", "\\chargingMode=1\n" + damagedLine);
}

void TestSettingsFaults::damagedFile()
{
    QFETCH(QByteArray, content);

    Household house;
    QVERIFY(writeFile(house.settingsFile(), content));
    SmartChargingManager *manager = house.fixture.createManager();
    m_faults++;

    // What can be read is restored.
    QCOMPARE(manager->phasePowerLimit(), 20u);
    QCOMPARE(manager->acquisitionTolerance(), 0.25);
    const ChargingConfiguration configuration = manager->chargingConfiguration(chargerId);
    QCOMPARE(configuration.chargingMode(), ChargingConfiguration::ChargingModeEco);
    QCOMPARE(configuration.assignedCarId(), carId);
    QCOMPARE(configuration.targetPercentage(), 70u);

    // A change is written; the user's other settings survive it.
    manager->setPhasePowerLimit(32);
    const QByteArray written = fileContent(house.settingsFile());
    for (const QByteArray &line : {QByteArray("phasePowerConsumptionLimit=32"), QByteArray("acquisitionTolerance=0.25"),
                                   QByteArray("providerId={0ca6ad88-e243-438d-a0f8-986cecf61834}"),
                                   chargerGroup + "\\targetPercentage=70", chargerGroup + "\\chargingMode=1"})
        QVERIFY2(written.contains(line), line.constData());

    // The parts that could not be read are dropped by that write: the user is
    // told, and the file as found is kept aside.
    QVERIFY(warningsContaining(QStringLiteral("energy.conf")) > 0);
    QCOMPARE(fileContent(house.settingsFile() + QStringLiteral(".damaged")), content);
}

void TestSettingsFaults::damagedValues_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("key");
    QTest::addColumn<double>("expected");

    // A value that does not parse falls back to the default; one outside its
    // range is clamped to the setter's range, as the readers of the charging
    // configurations do.
    QTest::newRow("phase limit: text") << QByteArray("phasePowerConsumptionLimit=sixteen") << "phasePowerLimit" << 0.0;
    QTest::newRow("phase limit: negative") << QByteArray("phasePowerConsumptionLimit=-16") << "phasePowerLimit" << 0.0;
    QTest::newRow("tolerance: text") << QByteArray("acquisitionTolerance=high") << "acquisitionTolerance" << 0.5;
    QTest::newRow("tolerance: 1.2") << QByteArray("acquisitionTolerance=1.2") << "acquisitionTolerance" << 1.0;
    QTest::newRow("tolerance: nan") << QByteArray("acquisitionTolerance=nan") << "acquisitionTolerance" << 0.5;
    QTest::newRow("battery consideration: inf")
            << QByteArray("batteryLevelConsideration=inf") << "batteryLevelConsideration" << 0.9;
    QTest::newRow("battery upper limit: -1")
            << QByteArray("batteryLevelUpperLimit=-1") << "batteryLevelUpperLimit" << 0.0;
}

void TestSettingsFaults::damagedValues()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, key);
    QFETCH(double, expected);

    Household house;
    QVERIFY(writeFile(house.settingsFile(), "[General]\n" + line + "\n"));
    SmartChargingManager *manager = house.fixture.createManager();
    m_faults++;

    const double restored = key == QLatin1String("phasePowerLimit")             ? manager->phasePowerLimit()
                            : key == QLatin1String("acquisitionTolerance")      ? manager->acquisitionTolerance()
                            : key == QLatin1String("batteryLevelConsideration") ? manager->batteryLevelConsideration()
                                                                                : manager->batteryLevelUpperLimit();
    QCOMPARE(restored, expected);
    QVERIFY(warningsContaining(QString::fromLatin1(line.left(line.indexOf('=')))) > 0);

    // And the cycle runs with it.
    house.fixture.runCycle();
}

void TestSettingsFaults::valuesOfOtherTypes_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("a float") << "acquisitionTolerance" << QVariant(0.75f);
    // A date-time alone in a list is text; inside a nested list it is binary.
    QTest::newRow("repeat days with a list holding a date-time")
            << "ChargingConfigurations/" + chargerId.toString() + "/repeatDays"
            << QVariant(QVariantList{2, QVariantList{QDateTime(QDate(2026, 1, 2), QTime(3, 4), Qt::UTC)}});
    QTest::newRow("every core type Qt writes")
            << "Elsewhere/all"
            << QVariant(QVariantList{true,
                                     'c',
                                     QVariant::fromValue<signed char>(-1),
                                     QVariant::fromValue<uchar>(1),
                                     QVariant::fromValue<short>(-2),
                                     QVariant::fromValue<ushort>(2),
                                     3,
                                     3u,
                                     QVariant::fromValue<long>(-4),
                                     QVariant::fromValue<ulong>(4),
                                     5ll,
                                     5ull,
                                     6.5f,
                                     7.5,
                                     QChar('q'),
                                     QString("text"),
                                     QStringList{"a", "b"},
                                     QByteArray("bytes"),
                                     QVariant::fromValue(QByteArrayList{"x", "y"}),
                                     QBitArray(11, true),
                                     QDate(2026, 1, 2),
                                     QTime(3, 4, 5),
                                     QDateTime(QDate(2026, 1, 2), QTime(3, 4)),
                                     QUrl("https://example.invalid/a?b"),
                                     QLocale("de_DE"),
                                     QRect(1, 2, 3, 4),
                                     QRectF(1.5, 2, 3, 4),
                                     QSize(5, 6),
                                     QSizeF(5.5, 6),
                                     QLine(1, 2, 3, 4),
                                     QLineF(1, 2, 3, 4.5),
                                     QPoint(7, 8),
                                     QPointF(7.5, 8),
                                     QRegExp("a+b"),
                                     QRegularExpression("c*d", QRegularExpression::MultilineOption),
                                     QVariantHash{{"h", 1}},
                                     QVariantMap{{"m", 2}},
                                     QUuid(chargerId),
                                     QVariant::fromValue(nullptr),
                                     QJsonDocument(QJsonObject{{"j", 1}}),
                                     QJsonObject{{"o", 2}},
                                     QJsonArray{3, 4}});
}

void TestSettingsFaults::valuesOfOtherTypes()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);

    Household house;
    QVERIFY(writeFile(house.settingsFile(), soundSettings));
    {
        QSettings settings(house.settingsFile(), QSettings::IniFormat);
        settings.setValue(key, value);
    }
    const QByteArray written = fileContent(house.settingsFile());
    SmartChargingManager *manager = house.fixture.createManager();

    // Qt reads these safely: nothing is dropped, the file stays as it is.
    QCOMPARE(fileContent(house.settingsFile()), written);
    QVERIFY(!QFile::exists(house.settingsFile() + QStringLiteral(".damaged")));
    QCOMPARE(warningsContaining(QStringLiteral("damaged")), 0);
    // And the readers make what they can of them.
    QCOMPARE(manager->acquisitionTolerance(), key == QLatin1String("acquisitionTolerance") ? 0.75 : 0.25);
    QCOMPARE(manager->chargingConfiguration(chargerId).repeatDays(),
             key.endsWith(QLatin1String("repeatDays")) ? QList<int>{2} : QList<int>());
    QCOMPARE(manager->chargingConfiguration(chargerId).targetPercentage(), 70u);
}

void TestSettingsFaults::lockedFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("directoryMode");
    QTest::addColumn<int>("fileMode");
    QTest::addColumn<uint>("phasePowerLimit"); // A, as restored
    QTest::addColumn<int>("chargingMode");

    const int eco = ChargingConfiguration::ChargingModeEco;
    QTest::newRow("unwritable: read, changes refused") << soundSettings << 0555 << 0444 << 20u << eco;
    // A file holding only the new values must not replace the user's.
    QTest::newRow("unreadable: the defaults, changes refused")
            << soundSettings << 0777 << 0000 << 0u << int(ChargingConfiguration::ChargingModeNormal);
    // Not the defaults: they would switch the overload protection off.
    QTest::newRow("damaged and unwritable: the sound values, one warning")
            << QByteArray(soundSettings).replace("\\chargingMode=1\n", "\\chargingMode=1\n" + damagedLine) << 0555
            << 0444 << 20u << eco;
}

void TestSettingsFaults::lockedFile()
{
    QFETCH(QByteArray, content);
    QFETCH(int, directoryMode);
    QFETCH(int, fileMode);
    QFETCH(uint, phasePowerLimit);
    QFETCH(int, chargingMode);

    Household house;
    const QString fileName = house.settingsFile();
    const QString settingsDirectory = QFileInfo(fileName).path();
    QVERIFY(writeFile(fileName, content));
    QVERIFY(chmod(qPrintable(QFileInfo(settingsDirectory).path()), 0755) == 0);
    QVERIFY(chmod(qPrintable(settingsDirectory), mode_t(directoryMode)) == 0);
    QVERIFY(chmod(qPrintable(fileName), mode_t(fileMode)) == 0);

    {
        UnprivilegedScope scope;
        QVERIFY(scope.ok());
        SmartChargingManager *manager = house.fixture.createManager();
        m_faults++;
        QCOMPARE(manager->phasePowerLimit(), phasePowerLimit);
        QCOMPARE(int(manager->chargingConfiguration(chargerId).chargingMode()), chargingMode);

        // What the file cannot take does not happen: a restart would lose it.
        QString error;
        QVERIFY(!manager->setPhasePowerLimit(32, &error));
        QVERIFY2(error.contains(QStringLiteral("energy.conf")), qPrintable(error));
        QCOMPARE(manager->phasePowerLimit(), phasePowerLimit);
        ChargingConfiguration configuration = manager->chargingConfiguration(chargerId);
        const ChargingConfiguration before = configuration;
        configuration.setTargetPercentage(90);
        QCOMPARE(manager->setChargingConfiguration(configuration, &error), EnergyManager::EnergyErrorInvalidParameter);
        QVERIFY(!error.isEmpty());
        QCOMPARE(manager->chargingConfiguration(chargerId), before);
        house.fixture.runCycle();
        house.fixture.destroyManager();
    }
    QVERIFY(chmod(qPrintable(settingsDirectory), 0755) == 0);
    QVERIFY(chmod(qPrintable(fileName), 0644) == 0);
    QCOMPARE(fileContent(fileName), content);
    QVERIFY(warningsContaining(QStringLiteral("energy.conf")) > 0);
    // A readable file is never called unreadable.
    QCOMPARE(warningsContaining(QStringLiteral("Cannot read the settings file")) > 0, fileMode == 0);
    // Told once, not at every access of the run.
    QCOMPARE(warningsContaining(QStringLiteral("holds damaged values")), content == soundSettings ? 0 : 1);
    QDir(QFileInfo(EnergySettings::repairedCopyFileName(fileName)).path()).removeRecursively();
}

void TestSettingsFaults::refusedStores_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantMap>("params");
    QTest::addColumn<QString>("fault");

    const QVariantMap configuration{
            {"chargingConfiguration", QVariantMap{{"evChargerId", chargerId.toString()}, {"targetPercentage", 90}}}};
    const QList<QPair<QString, QVariantMap>> calls = {
            {"SetPhasePowerLimit", {{"phasePowerLimit", 32}}},
            {"SetAcquisitionTolerance", {{"acquisitionTolerance", 0.75}}},
            {"SetBatteryLevelConsideration", {{"batteryLevelConsideration", 0.5}}},
            {"SetBatteryLevelLimits", {{"batteryLevelLowerLimit", 0.2}, {"batteryLevelUpperLimit", 0.8}}},
            {"SetChargingConfiguration", configuration},
            {"SetSpotMarketConfiguration", {{"enabled", true}, {"providerId", TestMarketProvider().providerId()}}},
            {"SetSolarForecastConfiguration",
             {{"configuration", QVariantMap{{"enabled", false},
                                            {"planes", QVariantList{QVariantMap{{"latitude", 48.2},
                                                                                {"longitude", 16.37},
                                                                                {"declination", 30},
                                                                                {"azimuth", 0},
                                                                                {"kwp", 5.0}}}}}}}}};
    // A folder that takes no new file, and a write that fails half-way (the
    // file-size limit stands in for a full disk: the new file is created,
    // the data does not fit).
    for (const QString &fault : {QStringLiteral("read-only folder"), QStringLiteral("disk full")}) {
        for (const auto &call : calls)
            QTest::newRow(qPrintable(fault + QStringLiteral(": ") + call.first)) << call.first << call.second << fault;
    }
}

void TestSettingsFaults::refusedStores()
{
    QFETCH(QString, method);
    QFETCH(QVariantMap, params);
    QFETCH(QString, fault);

    Household house;
    const QString fileName = house.settingsFile();
    const QString settingsDirectory = QFileInfo(fileName).path();
    QVERIFY(writeFile(fileName, soundSettings));
    QVERIFY(chmod(qPrintable(QFileInfo(settingsDirectory).path()), 0755) == 0);
    house.fixture.addMarket(false);
    SmartChargingManager *manager = house.fixture.createManager();
    TavroEnergyJsonHandler handler(house.fixture.spotMarketManager(), manager);
    auto forecast = std::make_unique<SolarForecastManager>(nullptr, nullptr);
    handler.setSolarForecastManager(forecast.get());
    // Everything the seven setters change, as the getters show it.
    auto shown = [&]() {
        return QVariantList{manager->phasePowerLimit(),
                            manager->acquisitionTolerance(),
                            manager->batteryLevelLowerLimit(),
                            manager->batteryLevelUpperLimit(),
                            manager->chargingConfiguration(chargerId).targetPercentage(),
                            house.fixture.spotMarketManager()->enabled(),
                            forecast->configuration().planes().count()};
    };
    const QVariantList before = shown();
    const QByteArray stored = fileContent(fileName);
    const bool readOnly = fault == QLatin1String("read-only folder");
    if (readOnly)
        QVERIFY(chmod(qPrintable(settingsDirectory), 0555) == 0);
    QString cause;
    {
        UnprivilegedScope scope(readOnly);
        QVERIFY(scope.ok());
        struct rlimit limit;
        QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
        const rlim_t unlimited = limit.rlim_cur;
        if (readOnly) {
            cause = QString::fromLocal8Bit(strerror(EACCES));
        } else {
            // Beyond the limit a write fails (EFBIG) instead of killing us.
            signal(SIGXFSZ, SIG_IGN);
            limit.rlim_cur = 64;
            QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
            cause = QString::fromLocal8Bit(strerror(EFBIG));
        }
        const std::unique_ptr<JsonReply> reply = invoke(handler, method, params);
        limit.rlim_cur = unlimited;
        setrlimit(RLIMIT_FSIZE, &limit);
        m_faults++;

        // The client learns that nothing changed, and why.
        QVERIFY(reply);
        QVERIFY(reply->isError());
        QCOMPARE(reply->errorCode(), int(JsonRpcServer::ErrorInternal));
        QVERIFY2(reply->errorMessage().contains(cause), qPrintable(reply->errorMessage()));
        QVERIFY2(!reply->data().contains(QStringLiteral("energyError")), "an answer that reads as a stored value");
    }
    QVERIFY(chmod(qPrintable(settingsDirectory), 0755) == 0);
    // Memory keeps what the file holds; the log names the cause, not a
    // read error of the readable file.
    QCOMPARE(shown(), before);
    QCOMPARE(fileContent(fileName), stored);
    QVERIFY(warningsContaining(cause) > 0);
    QCOMPARE(warningsContaining(QStringLiteral("Cannot read")), 0);

    // Nothing of the refused change is left behind to surface later: a
    // restart reads what the file held, and the same call now goes through.
    house.fixture.destroyManager();
    manager = house.fixture.createManager();
    TavroEnergyJsonHandler restarted(house.fixture.spotMarketManager(), manager);
    forecast = std::make_unique<SolarForecastManager>(nullptr, nullptr);
    restarted.setSolarForecastManager(forecast.get());
    QCOMPARE(shown(), before);
    QCOMPARE(warningsContaining(QStringLiteral("Cannot read")), 0);
    const std::unique_ptr<JsonReply> retried = invoke(restarted, method, params);
    QVERIFY(retried);
    QVERIFY(!retried->isError());
    QCOMPARE(retried->data().value(QStringLiteral("energyError")).toString(), QStringLiteral("EnergyErrorNoError"));
    QVERIFY(shown() != before);
    QVERIFY(fileContent(fileName) != stored);
}

void TestSettingsFaults::killedWhileWriting_data()
{
    QTest::addColumn<QString>("writer");
    QTest::addColumn<bool>("atomic");

    QTest::newRow("SettingsChange") << "settings" << true;
    // The detector itself: a writer that truncates in place is caught.
    QTest::newRow("in-place writer (comparison)") << "direct" << false;
}

void TestSettingsFaults::killedWhileWriting()
{
    QFETCH(QString, writer);
    QFETCH(bool, atomic);

    const SettingsSandbox directory;
    QVERIFY(directory.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    directory.addTo(environment);
    const QString fileName = directory.folder(QStringLiteral("settings")) + QStringLiteral("/energy.conf");

    const int rounds = 20;
    int torn = 0;
    QStringList tornReasons;
    for (int round = 0; round < rounds; round++) {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tavro-faults-settingswriter"),
                      {writer});
        QVERIFY(process.waitForStarted(5000));
        // A lock file the previous writer left behind may hold this one up
        // until Qt takes it for stale (30 s); that delays, it does not tear.
        QVERIFY2(process.waitForReadyRead(45000), qPrintable(QStringLiteral("round %1: no first write").arg(round)));
        QTest::qWait(QRandomGenerator::global()->bounded(5, 120));
        process.kill();
        QVERIFY(process.waitForFinished(5000));
        m_kills++;

        QSettings settings(fileName, QSettings::IniFormat);
        const QString generation = settings.value(QStringLiteral("generation")).toString();
        settings.beginGroup(QStringLiteral("Padding"));
        const QStringList keys = settings.childKeys();
        int disagreeing = 0;
        for (const QString &key : keys) {
            if (settings.value(key).toString() != generation)
                disagreeing++;
        }
        if (settings.status() != QSettings::NoError || generation.isEmpty() || keys.count() != 3000
            || disagreeing > 0) {
            torn++;
            tornReasons << QStringLiteral("generation %1: %2 keys, %3 disagree")
                                   .arg(generation)
                                   .arg(keys.count())
                                   .arg(disagreeing);
        }
    }
    qInfo("%s: %d kills, %d files torn", qPrintable(writer), rounds, torn);
    if (!atomic) {
        QVERIFY2(torn > 0, "the detector found no torn file from a writer that tears");
        return;
    }
    QVERIFY2(torn == 0, qPrintable(tornReasons.join(QStringLiteral("; "))));

    // The lock file a killed writer leaves behind does not stop the next one.
    {
        QSettings settings(fileName, QSettings::IniFormat);
        settings.setValue(QStringLiteral("afterwards"), 1);
        settings.sync();
        QCOMPARE(settings.status(), QSettings::NoError);
    }
    QVERIFY(fileContent(fileName).contains("afterwards=1"));
}

QTEST_GUILESS_MAIN(TestSettingsFaults)
#include "tst_settingsfaults.moc"
