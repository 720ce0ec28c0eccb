#include <QtTest>

#include "sim/scenario.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

// A scenario with a mistake must not run as another household: every row
// breaks a valid one in one way and names the line the owner must read.
class TestScenario : public QObject
{
    Q_OBJECT

private slots:
    void refused_data();
    void refused();
    void shippedScenariosLoad();
    void syntaxErrorNamesLineAndColumn();

private:
    QTemporaryDir m_dir;
};

namespace {

// Values of patch replace those of base, objects are merged key by key.
QJsonObject merged(QJsonObject base, const QJsonObject &patch)
{
    for (auto it = patch.constBegin(); it != patch.constEnd(); ++it) {
        if (it.value().isObject() && base.value(it.key()).isObject())
            base[it.key()] = merged(base.value(it.key()).toObject(), it.value().toObject());
        else
            base[it.key()] = it.value();
    }
    return base;
}

QJsonObject object(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

const char validScenario[] = R"({
    "name": "Valid", "timeZone": "Europe/Vienna", "start": "2026-03-28T12:00:00", "durationMinutes": 1440,
    "phasePowerLimit": 16,
    "chargers": [{"name": "Wallbox"}],
    "cars": [{"name": "Hatchback", "charger": "Wallbox", "capacityKwh": 50, "soc": 30, "phases": 3,
              "plugIn": "18:00", "plugOut": "1+09:00", "target": {"at": "1+07:00", "percentage": 80},
              "configuration": {"chargingMode": "ChargingModeEcoWithTargetTime", "endDateTime": "$time:1+07:00"}}],
    "loads": [{"name": "Cooker", "phasePower": [2000, 0, 0], "from": "19:00", "to": "20:00"}],
    "actions": [{"at": "21:00", "method": "TavroEnergy.SetPhasePowerLimit", "params": {"phasePowerLimit": 20}}],
    "expectations": {"maxMinutesOverLimit": 0, "cars": {"Hatchback": {"meetReachableDeadline": true}}}
})";

}

void TestScenario::refused_data()
{
    QTest::addColumn<QJsonObject>("patch");    // merged into the valid scenario
    QTest::addColumn<QJsonObject>("carPatch"); // merged into its car
    QTest::addColumn<QString>("error");        // one line of the error

    const QJsonObject none;
    QTest::newRow("valid") << none << none << QString();
    // The schema: unknown keys (every one, with the closest known one) and types.
    QTest::newRow("misspelt top-level key") << object(R"({"phasePowerLimt": 16})") << none
                                            << R"(phasePowerLimt: unknown key (did you mean "phasePowerLimit"?))";
    QTest::newRow("second misspelt key in one object")
            << object(R"({"phasePowerLimt": 16, "acquisitionTolerence": 0.5})") << none
            << R"(acquisitionTolerence: unknown key (did you mean "acquisitionTolerance"?))";
    QTest::newRow("misspelt configuration key")
            << none << object(R"({"configuration": {"targetPercentag": 80}})")
            << R"(cars[0].configuration.targetPercentag: unknown key (did you mean "targetPercentage"?))";
    QTest::newRow("misspelt expectation")
            << object(R"({"expectations": {"cars": {"Hatchback": {"meetDeadline": true}}}})") << none
            << "expectations.cars.Hatchback.meetDeadline: unknown key";
    QTest::newRow("number as text") << object(R"({"phasePowerLimit": "16"})") << none
                                    << R"(phasePowerLimit: a whole number is expected, not the text "16")";
    QTest::newRow("time without leading zero")
            << none << object(R"({"plugIn": "7:00"})") << R"(cars[0].plugIn: the text "7:00" is no local time "HH:MM")";
    QTest::newRow("time with a dot") << none << object(R"({"plugOut": "18.00"})")
                                     << R"(cars[0].plugOut: the text "18.00" is no local time)";
    QTest::newRow("hour 25") << none << object(R"({"target": {"at": "25:00", "percentage": 80}})")
                             << R"(cars[0].target.at: the text "25:00" is no local time)";
    QTest::newRow("deadline without leading zero")
            << none << object(R"({"configuration": {"endDateTime": "$time:1+7:00"}})")
            << R"(cars[0].configuration.endDateTime: the text "$time:1+7:00" is no date-time)";
    QTest::newRow("negative duration") << object(R"({"durationMinutes": -60})") << none
                                       << "durationMinutes: must be at least 1, not -60";
    QTest::newRow("capacity 0") << none << object(R"({"capacityKwh": 0})")
                                << "cars[0].capacityKwh: must be more than 0, not 0";
    QTest::newRow("SoC 150 %") << none << object(R"({"soc": 150})") << "cars[0].soc: must be at most 100, not 150";
    QTest::newRow("0 phases") << none << object(R"({"phases": 0})") << "cars[0].phases: must be at least 1, not 0";
    QTest::newRow("unknown cloud kind") << object(R"({"pv": {"clouds": "rainy"}})") << none
                                        << R"(pv.clouds: the text "rainy" is none of "tenMinute", "passing")";
    QTest::newRow("missing car name") << none << object(R"({"name": ""})")
                                      << "cars[0].name: String should be no fewer than 1 characters in length";
    // What a schema cannot say.
    QTest::newRow("a time the clocks skip")
            << none << object(R"({"plugIn": "1+02:30"})") << R"(cars[0].plugIn: "1+02:30" does not exist on that day)";
    QTest::newRow("deadline the clocks skip")
            << none << object(R"({"configuration": {"endDateTime": "$time:1+02:00"}})")
            << R"(cars[0].configuration.endDateTime: "$time:1+02:00" does not exist on that day)";
    QTest::newRow("plug-in after the end")
            << none << object(R"({"plugIn": "1+13:01", "plugOut": "1+14:00"})")
            << R"(cars[0].plugIn: "1+13:01" lies outside the run, which ends at "1+13:00")";
    QTest::newRow("plug-out before the plug-in")
            << none << object(R"({"plugOut": "17:00"})") << R"(cars[0].plugOut: must lie after "plugIn")";
    QTest::newRow("load off before it is on")
            << object(R"({"loads": [{"name": "Cooker", "phasePower": [1, 0, 0], "from": "19:00", "to": "18:00"}]})")
            << none << R"(loads[0].to: must lie after "from")";
    QTest::newRow("least current above the most") << none << object(R"({"minCurrent": 16, "maxCurrent": 6})")
                                                  << R"(cars[0].maxCurrent: 6 A lies below "minCurrent" (16 A))";
    QTest::newRow("unknown charger") << none << object(R"({"charger": "Walbox"})")
                                     << R"(cars[0].charger: "Walbox" names no charger)";
    QTest::newRow("placeholder naming no car")
            << object(R"({"actions": [{"at": "21:00", "method": "Things.ExecuteAction",
                                        "params": {"thingId": "$car:Hatchbak"}}]})")
            << none << R"(actions[0].params.thingId: "$car:Hatchbak" names no car of the scenario)";
    QTest::newRow("goal for no car") << object(R"({"expectations": {"cars": {"Hatch": {"minEnergy": 1}}}})") << none
                                     << "expectations.cars.Hatch: names no car";
    QTest::newRow("pending goal naming none")
            << object(R"({"expectationsPending": ["Hatchback.minEnergy"]})") << none
            << R"(expectationsPending[0]: "Hatchback.minEnergy" names no expectation)";
    QTest::newRow("a price service without its zone")
            << object(R"({"prices": {"hourly": [90], "provider": "energy-charts"}})") << none
            << R"(prices.zone: "energy-charts" needs a bidding zone)";
    QTest::newRow("an unknown price service")
            << object(R"({"prices": {"provider": "pricebook"}})") << none
            << R"(prices.provider: the text "pricebook" is none of "awattar", "energy-charts")";
    QTest::newRow("a forecast without PV or planes") << object(R"({"forecast": {"bias": 1.4}})") << none
                                                     << R"(forecast.planes: needed without "pv.peakPower")";
    QTest::newRow("a forecast plane of 0 kWp")
            << object(R"({"pv": {"peakPower": 5000}, "forecast": {"planes": [{"kwp": 0}]}})") << none
            << "forecast.planes[0].kwp: must be more than 0, not 0";
    QTest::newRow("spot market without prices")
            << object(R"({"prices": {"spotMarket": true}})") << none << "prices.hourly: the spot market needs prices";
}

void TestScenario::refused()
{
    QFETCH(QJsonObject, patch);
    QFETCH(QJsonObject, carPatch);
    QFETCH(QString, error);

    QJsonObject json = merged(object(validScenario), patch);
    QJsonArray cars = json.value("cars").toArray();
    cars[0] = merged(cars.at(0).toObject(), carPatch);
    json["cars"] = cars;

    QString errorString;
    const Scenario scenario = Scenario::fromJson(json, "UTC0", &errorString);
    if (error.isEmpty()) {
        QCOMPARE(errorString, QString());
        QCOMPARE(scenario.cars.count(), 1);
        QCOMPARE(scenario.phasePowerLimit, 16u);
        // 18:00 is 6 h after the start; 07:00 the next morning 18 real
        // hours: the clocks skip an hour that night.
        QCOMPARE(scenario.cars.at(0).plugInMinute, 360);
        QCOMPARE(scenario.cars.at(0).targetMinute, 1080);
        return;
    }
    const QStringList lines = errorString.split('\n');
    const bool found =
            std::any_of(lines.cbegin(), lines.cend(), [&error](const QString &line) { return line.startsWith(error); });
    if (!found)
        QFAIL(qPrintable(QStringLiteral("\"%1\" not among:\n%2").arg(error, errorString)));
    // One mistake, one line: a reader is not sent after follow-up faults.
    QCOMPARE(lines.count(), QTest::currentDataTag() == QByteArray("second misspelt key in one object") ? 2 : 1);
}

void TestScenario::shippedScenariosLoad()
{
    // Every scenario the simulator ships, every key in use, passes.
    const QDir directory(QStringLiteral(TAVRO_SCENARIO_DIR));
    const QStringList files = directory.entryList({QStringLiteral("*.json")}, QDir::Files);
    QVERIFY(files.count() >= 20);
    for (const QString &file : files) {
        QString errorString;
        const Scenario scenario = Scenario::load(directory.filePath(file), "UTC0", &errorString);
        QVERIFY2(errorString.isEmpty(), qPrintable(errorString));
        QVERIFY(!scenario.name.isEmpty());
    }
}

void TestScenario::syntaxErrorNamesLineAndColumn()
{
    QVERIFY(m_dir.isValid());
    const QString fileName = m_dir.filePath(QStringLiteral("broken.json"));
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::WriteOnly));
    // The comma after "start" is missing: the parser stops in the next line.
    file.write("{\n  \"name\": \"Broken\",\n  \"start\": \"2026-04-06T00:00:00\"\n  \"durationMinutes\": 60\n}\n");
    file.close();
    QString errorString;
    Scenario::load(fileName, "UTC0", &errorString);
    QCOMPARE(errorString, fileName + QStringLiteral(": line 4, column 4: unterminated object"));
}

QTEST_GUILESS_MAIN(TestScenario)
#include "tst_scenario.moc"
