#include <QtTest>

#include "sim/householdgenerator.h"
#include "sim/jsonrpcclient.h"
#include "sim/report.h"
#include "sim/simulation.h"

#include <ctime>

// A search for holes in the limit: random households (HouseholdGenerator)
// run through the real plugin as the simulator runs it, beside the peer;
// neither may beat the limit on PV or cost, nor meet a deadline the limit
// calls unreachable. Each run also checks that the owner's wishes the
// plugin holds at the end are the ones the peer and the limit worked with,
// and that a soak household's API checks found nothing.
// TAVRO_RANDOM_HOUSEHOLDS sets how many seeds (from 1), TAVRO_RANDOM_SEED
// runs one seed alone, TAVRO_RANDOM_WRITE names a folder to write each
// household into as a scenario file (random-household-<seed>.json).
class TestRandomHouseholds : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void householdNeverBeatsTheLimit_data();
    void householdNeverBeatsTheLimit();
    void cleanupTestCase();

private:
    QString m_pluginDirectory;
    int m_runs = 0;
    int m_excused = 0;
};

void TestRandomHouseholds::initTestCase()
{
    // As the simulator runs: hash order fixed, the scenario's time zone.
    qSetGlobalQHashSeed(0);
    m_pluginDirectory = qEnvironmentVariable("TAVRO_PLUGIN_PATH");
    QVERIFY2(!m_pluginDirectory.isEmpty(), "TAVRO_PLUGIN_PATH names no plugin folder");
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false\n*.warning=false\ndefault.info=true"));
}

void TestRandomHouseholds::householdNeverBeatsTheLimit_data()
{
    QTest::addColumn<quint32>("seed");
    const quint32 only = qEnvironmentVariableIntValue("TAVRO_RANDOM_SEED");
    if (only > 0) {
        QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(only))) << only;
        return;
    }
    bool ok = false;
    int count = qEnvironmentVariableIntValue("TAVRO_RANDOM_HOUSEHOLDS", &ok);
    if (!ok || count <= 0)
        count = 240;
    for (quint32 seed = 1; seed <= static_cast<quint32>(count); seed++)
        QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed;
}

void TestRandomHouseholds::householdNeverBeatsTheLimit()
{
    QFETCH(quint32, seed);
    const QJsonObject json = HouseholdGenerator::generate(seed);
    const QString folder = qEnvironmentVariable("TAVRO_RANDOM_WRITE");
    if (!folder.isEmpty()) {
        QFile file(QDir(folder).filePath(QStringLiteral("random-household-%1.json").arg(seed)));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(json).toJson(QJsonDocument::Indented));
    }
    QString error;
    const Scenario scenario = Scenario::fromJson(json, QByteArrayLiteral("UTC0"), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    // Each household its own settings: nothing carries over from the last seed.
    QTemporaryDir data;
    for (const char *variable : {"TAVRO_SETTINGS_PATH", "TAVRO_STORAGE_PATH", "TAVRO_CACHE_PATH"}) {
        const QString path = data.path() + QLatin1Char('/') + QString::fromLatin1(variable).toLower();
        QDir().mkpath(path);
        qputenv(variable, path.toUtf8());
    }
    Simulation simulation(scenario);
    QVERIFY2(simulation.setUp(m_pluginDirectory, &error), qPrintable(error));
    simulation.run();
    const Report report(simulation);
    const QString keep = QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Indented));
    QVERIFY2(report.limitViolations().isEmpty(),
             qPrintable(report.limitViolations().join(QLatin1Char('\n')) + QStringLiteral("\n") + report.table()
                        + QStringLiteral("\nThe household, to keep as a scenario:\n") + keep));
    m_runs++;
    m_excused += report.limitExcuses().isEmpty() ? 0 : 1;

    // A soak's checks of what the API answers follow the scenario's own
    // owner actions as well as the random calls: an accepted limit, mode or
    // tolerance is no fault of the plugin's when it answers with it later.
    const SoakFigures &soak = simulation.soak();
    QVERIFY2(soak.unexpectedOutcomes == 0 && soak.malformedReplies == 0,
             qPrintable(QStringLiteral("seed %1: %2").arg(seed).arg(soak.problems.join(QStringLiteral("; ")))));

    // What the plugin holds at the end is what the peer and the limit
    // worked with at the last minute.
    JsonRpcClient client;
    QVERIFY(client.connectToServer(simulation.jsonRpcPort()));
    client.call(QStringLiteral("JSONRPC.Authenticate"), {{QStringLiteral("token"), simulation.adminToken()}});
    const int last = scenario.durationMinutes - 1;
    const QVariantList configurations = client.call(QStringLiteral("TavroEnergy.GetChargingConfigurations"))
                                                .value(QStringLiteral("chargingConfigurations"))
                                                .toList();
    QCOMPARE(configurations.count(), scenario.chargers.count());
    static const QStringList modes = {QStringLiteral("ChargingModeNormal"), QStringLiteral("ChargingModeEco"),
                                      QStringLiteral("ChargingModeEcoWithTargetTime")};
    for (int j = 0; j < scenario.cars.count(); j++) {
        const OwnerTimeline::Wish &wish = simulation.owner().wishAt(j, last);
        const QUuid charger = simulation.chargerThingId(Household::chargerOf(scenario, j));
        QVariantMap held;
        for (const QVariant &value : configurations) {
            if (QUuid(value.toMap().value(QStringLiteral("evChargerId")).toString()) == charger)
                held = value.toMap();
        }
        const QString what = QStringLiteral("%1, seed %2").arg(scenario.cars.at(j).name).arg(seed);
        QVERIFY2(!held.isEmpty(), qPrintable(what));
        QVERIFY2(held.value(QStringLiteral("targetPercentage")).toDouble() == wish.target, qPrintable(what));
        QVERIFY2(held.value(QStringLiteral("stopOnTargetPercentage")).toBool() == wish.stopAtTarget, qPrintable(what));
        // A target time that has passed turns the mode into plain eco.
        const QString mode = modes.at(static_cast<int>(wish.mode));
        const QString heldMode = held.value(QStringLiteral("chargingMode")).toString();
        QVERIFY2(heldMode == mode
                         || (wish.mode == OwnerTimeline::Mode::EcoWithTargetTime
                             && heldMode == QLatin1String("ChargingModeEco")),
                 qPrintable(QStringLiteral("%1: %2 held, %3 followed").arg(what, heldMode, mode)));
    }
    const double lowerLimit = client.call(QStringLiteral("TavroEnergy.GetBatteryLevelLimits"))
                                      .value(QStringLiteral("batteryLevelLowerLimit"))
                                      .toDouble();
    QVERIFY2(qAbs(lowerLimit - simulation.owner().batteryLowerLimitAt(last)) < 1e-9,
             qPrintable(QStringLiteral("battery lower limit %1 held, %2 followed")
                                .arg(lowerLimit)
                                .arg(simulation.owner().batteryLowerLimitAt(last))));
}

void TestRandomHouseholds::cleanupTestCase()
{
    // How many runs the search could hold against the limit's PV.
    qInfo("%d households, in %d of them a run gave a deadline less than the limit (held against its own bound)", m_runs,
          m_excused);
}

QTEST_GUILESS_MAIN(TestRandomHouseholds)
#include "tst_randomhouseholds.moc"
