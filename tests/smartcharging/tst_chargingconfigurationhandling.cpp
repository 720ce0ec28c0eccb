#include "householdfixture.h"

#include "config/energysettings.h"

#include "tavro/thing.h"

#include <QSignalSpy>
#include <QtTest>

namespace {
const QString group = QStringLiteral("ChargingConfigurations");

QString chargerGroup(const ThingId &id)
{
    return group + QLatin1Char('/') + id.toString();
}

QVariant storedValue(const ThingId &id, const QString &key, const QVariant &fallback = QVariant())
{
    EnergySettings settings;
    return settings.value(chargerGroup(id) + QLatin1Char('/') + key, fallback);
}

QStringList storedKeys(const ThingId &id)
{
    EnergySettings settings;
    settings.beginGroup(chargerGroup(id));
    return settings.childKeys();
}

void writeValue(const QString &key, const QVariant &value)
{
    EnergySettings settings;
    settings.setValue(key, value);
}

// Rows of setConfiguration: chargerClass "" asks for an unknown charger, car
// "missing" for an unknown car; an empty warning means accepted.
struct ConfigurationCase {
    QString chargerClass, car;
    uint target, floor, daily;
    QList<int> repeatDays;
    QString warning;
};
// Rows of userActions: the manual values expected after the action.
struct UserActionCase {
    QString chargerClass;
    int mode;
    QString stateName;
    QVariant value;
    int origin;
    bool enabled;
    double current;
    uint phases;
    double power;
};

}
Q_DECLARE_METATYPE(ConfigurationCase)
Q_DECLARE_METATYPE(UserActionCase)

struct LockCase {
    int mode;
    bool lock;
    int changes;
    bool switchedOff;
};
Q_DECLARE_METATYPE(LockCase)

class TestChargingConfigurationHandling : public QObject
{
    Q_OBJECT

private slots:
    void setConfiguration_data();
    void setConfiguration();
    void manualValuesOnlyChangeNothing();
    void migration_data();
    void migration();
    void lockOnUnplug_data();
    void lockOnUnplug();
    void userActions_data();
    void userActions();
    void userSetsCarLevel();
    void restoredAfterRestart();
    void missingCharger_data();
    void missingCharger();
    void garbageValues_data();
    void garbageValues();
};

void TestChargingConfigurationHandling::setConfiguration_data()
{
    QTest::addColumn<ConfigurationCase>("c");
    const QString ac = QStringLiteral("evChargerAc");
    const QString dc = QStringLiteral("evChargerDc");
    QTest::newRow("target 100 accepted") << ConfigurationCase{ac, "", 100, 30, 0, {}, ""};
    QTest::newRow("target 101 refused") << ConfigurationCase{
            ac, "", 101, 30, 0, {}, "^Charging configuration target percentage out of range: 101$"};
    QTest::newRow("repeat days 1 and 7 accepted") << ConfigurationCase{ac, "", 90, 30, 0, {1, 7}, ""};
    QTest::newRow("repeat day 0 refused") << ConfigurationCase{
            ac,
            "",
            90,
            30,
            0,
            {0},
            "^Charging configuration repeat days invalid. All days must be within 1 \\(Mon\\) and 7 \\(Sun\\):"};
    QTest::newRow("repeat day 8 refused")
            << ConfigurationCase{ac, "", 90, 30, 0, {1, 8}, "^Charging configuration repeat days invalid."};
    QTest::newRow("daily spot market 101 refused") << ConfigurationCase{
            ac,
            "",
            90,
            30,
            101,
            {},
            "^Charging configuration daily spot market percentage value out of range: 101 is not in the range \\[0 - 100\\] %$"};
    QTest::newRow("discharge floor 101 refused") << ConfigurationCase{
            ac, "", 90, 101, 0, {}, "^Charging configuration discharge floor percentage out of range: 101$"};
    QTest::newRow("dc floor 30 target 30 refused")
            << ConfigurationCase{dc, "", 30, 30, 0, {}, "^Charging configuration SoC range invalid: 30 30$"};
    QTest::newRow("dc floor 29 target 30 accepted") << ConfigurationCase{dc, "", 30, 29, 0, {}, ""};
    QTest::newRow("missing charger") << ConfigurationCase{"", "", 90, 30, 0, {}, "^No such EV charger:"};
    QTest::newRow("missing car") << ConfigurationCase{
            ac, "missing", 90, 30, 0, {}, "^The given assigned car id cannot be found in the system.$"};
    QTest::newRow("ac car accepted") << ConfigurationCase{ac, "electricVehicle", 90, 30, 0, {}, ""};
    QTest::newRow("battery as ac car refused") << ConfigurationCase{
            ac, "homeBattery", 90, 30, 0, {}, "^The assigned AC vehicle must provide AC charging capability states.$"};
    QTest::newRow("dc missing car refused") << ConfigurationCase{
            dc, "missing", 90, 30, 0, {}, "^Assigned DC vehicle does not provide battery level information.$"};
    QTest::newRow("dc car without dc states refused")
            << ConfigurationCase{dc,
                                 "electricVehicle",
                                 90,
                                 30,
                                 0,
                                 {},
                                 "^The assigned DC vehicle must provide DC charging capability states.$"};
    QTest::newRow("dc car with dc states accepted")
            << ConfigurationCase{dc, "electricVehicleConnected", 90, 30, 0, {}, ""};
}

void TestChargingConfigurationHandling::setConfiguration()
{
    QFETCH(ConfigurationCase, c);
    const QString &chargerClass = c.chargerClass;
    const QString &car = c.car;
    const QString &warning = c.warning;

    HouseholdFixture household;
    Thing *charger = household.addThing(chargerClass.isEmpty() ? QStringLiteral("evChargerAc") : chargerClass,
                                        QStringLiteral("Charger"));
    ThingId carId;
    if (car == QLatin1String("missing"))
        carId = ThingId::createUuid();
    else if (!car.isEmpty())
        carId = household.addThing(car, QStringLiteral("Car"))->id();
    SmartChargingManager *manager = household.createManager();
    const ThingId chargerId = chargerClass.isEmpty() ? ThingId::createUuid() : charger->id();
    const ChargingConfiguration before = manager->chargingConfiguration(chargerId);

    ChargingConfiguration configuration(chargerId);
    configuration.setAssignedCarId(carId);
    configuration.setTargetPercentage(c.target);
    configuration.setDischargeFloorPercentage(c.floor);
    configuration.setDailySpotMarketPercentage(c.daily);
    configuration.setRepeatDays(c.repeatDays);

    QSignalSpy spy(manager, &SmartChargingManager::chargingConfigurationChanged);
    household.thingManager()->clearActionLog();
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    const EnergyManager::EnergyError result = manager->setChargingConfiguration(configuration);
    household.processEvents();

    if (!warning.isEmpty()) {
        QCOMPARE(result, EnergyManager::EnergyErrorInvalidParameter);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(manager->chargingConfiguration(chargerId), before);
        QVERIFY(storedKeys(chargerId).isEmpty());
        QVERIFY(household.thingManager()->actionLog().isEmpty());
        return;
    }
    QCOMPARE(result, EnergyManager::EnergyErrorNoError);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().first().value<ChargingConfiguration>(), configuration);
    QCOMPARE(manager->chargingConfiguration(chargerId), configuration);
    // A written configuration always holds every key.
    QCOMPARE(storedKeys(chargerId).count(), 14);
    QCOMPARE(storedValue(chargerId, QStringLiteral("targetPercentage")).toUInt(), c.target);
    QCOMPARE(storedValue(chargerId, QStringLiteral("assignedCarId")).toUuid(), carId);
}

void TestChargingConfigurationHandling::manualValuesOnlyChangeNothing()
{
    HouseholdFixture household;
    Thing *charger = household.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"));
    SmartChargingManager *manager = household.createManager();
    ChargingConfiguration configuration(charger->id());
    configuration.setTargetPercentage(90);
    QCOMPARE(manager->setChargingConfiguration(configuration), EnergyManager::EnergyErrorNoError);
    {
        EnergySettings settings;
        settings.remove(group);
    }

    QSignalSpy spy(manager, &SmartChargingManager::chargingConfigurationChanged);
    configuration.setManualMaxChargingCurrent(16);
    configuration.setManualChargingEnabled(true);
    QCOMPARE(manager->setChargingConfiguration(configuration), EnergyManager::EnergyErrorNoError);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(manager->chargingConfiguration(charger->id()).manualMaxChargingCurrent(), 6.0);
    QCOMPARE(manager->chargingConfiguration(charger->id()).manualChargingEnabled(), false);
    QVERIFY(storedKeys(charger->id()).isEmpty());
}

void TestChargingConfigurationHandling::migration_data()
{
    QTest::addColumn<QVariant>("legacyLock");
    QTest::addColumn<bool>("legacyGroup");

    QTest::newRow("lock true with group") << QVariant(true) << true;
    QTest::newRow("no lock key with group") << QVariant() << true;
    QTest::newRow("lock key without group") << QVariant(true) << false;
}

void TestChargingConfigurationHandling::migration()
{
    QFETCH(QVariant, legacyLock);
    QFETCH(bool, legacyGroup);

    HouseholdFixture household;
    Thing *charger = household.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"));
    Thing *car = household.addThing(QStringLiteral("electricVehicle"), QStringLiteral("Car"));
    const ThingId goneId = ThingId::createUuid();
    if (legacyLock.isValid())
        writeValue(QStringLiteral("lockOnUnplug"), legacyLock);
    if (legacyGroup) {
        const QString legacy = QStringLiteral("ChargingInfos/") + charger->id().toString() + QLatin1Char('/');
        writeValue(legacy + QStringLiteral("assignedCarId"), car->id());
        writeValue(legacy + QStringLiteral("chargingMode"), 1);
        writeValue(legacy + QStringLiteral("targetPercentage"), 70u);
        writeValue(legacy + QStringLiteral("manualMaxChargingCurrent"), 10.0);
        writeValue(QStringLiteral("ChargingInfos/") + goneId.toString() + QStringLiteral("/chargingMode"), 2);
    }

    SmartChargingManager *manager = household.createManager();

    {
        // A charger the host does not have now keeps its configuration too.
        EnergySettings settings;
        QVERIFY(!settings.contains(QStringLiteral("lockOnUnplug")));
        QVERIFY(!settings.childGroups().contains(QStringLiteral("ChargingInfos")));
        settings.beginGroup(group);
        QStringList expected = legacyGroup ? QStringList({charger->id().toString(), goneId.toString()}) : QStringList();
        QStringList stored = settings.childGroups();
        expected.sort();
        stored.sort();
        QCOMPARE(stored, expected);
    }
    if (legacyGroup)
        QCOMPARE(storedValue(goneId, QStringLiteral("chargingMode")).toInt(), 2);
    const ChargingConfiguration configuration = manager->chargingConfiguration(charger->id());
    if (!legacyGroup) {
        QCOMPARE(configuration, ChargingConfiguration(charger->id()));
        return;
    }
    QCOMPARE(storedKeys(charger->id()).count(), 14);
    QCOMPARE(configuration.lockOnUnplug(), legacyLock.toBool());
    QCOMPARE(storedValue(charger->id(), QStringLiteral("lockOnUnplug")).toBool(), legacyLock.toBool());
    QCOMPARE(configuration.chargingMode(), ChargingConfiguration::ChargingModeEco);
    QCOMPARE(configuration.assignedCarId(), car->id());
    QCOMPARE(configuration.targetPercentage(), 70u);
    QCOMPARE(configuration.manualMaxChargingCurrent(), 10.0);
    QCOMPARE(configuration.dischargeFloorPercentage(), 30u);
}

void TestChargingConfigurationHandling::lockOnUnplug_data()
{
    QTest::addColumn<LockCase>("row");

    QTest::newRow("eco with lock") << LockCase{int(ChargingConfiguration::ChargingModeEco), true, 1, true};
    QTest::newRow("normal with lock") << LockCase{int(ChargingConfiguration::ChargingModeNormal), true, 0, true};
    QTest::newRow("eco without lock") << LockCase{int(ChargingConfiguration::ChargingModeEco), false, 0, false};
}

void TestChargingConfigurationHandling::lockOnUnplug()
{
    QFETCH(LockCase, row);
    const auto &[mode, lock, changes, switchedOff] = row;

    HouseholdFixture household;
    Thing *charger = household.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"),
                                        {{QStringLiteral("pluggedIn"), true}, {QStringLiteral("power"), true}});
    SmartChargingManager *manager = household.createManager();
    ChargingConfiguration configuration(charger->id());
    configuration.setChargingMode(static_cast<ChargingConfiguration::ChargingMode>(mode));
    configuration.setLockOnUnplug(lock);
    QCOMPARE(manager->setChargingConfiguration(configuration), EnergyManager::EnergyErrorNoError);
    household.processEvents();
    household.thingManager()->clearActionLog();
    charger->setStateValue(QStringLiteral("power"), true);

    QSignalSpy spy(manager, &SmartChargingManager::chargingConfigurationChanged);
    charger->setStateValue(QStringLiteral("pluggedIn"), false);
    household.processEvents();

    QCOMPARE(spy.count(), changes);
    const int expectedMode = lock ? int(ChargingConfiguration::ChargingModeNormal) : mode;
    QCOMPARE(int(manager->chargingConfiguration(charger->id()).chargingMode()), expectedMode);
    QCOMPARE(storedValue(charger->id(), QStringLiteral("chargingMode")).toInt(), expectedMode);
    if (changes)
        QCOMPARE(int(spy.first().first().value<ChargingConfiguration>().chargingMode()), expectedMode);

    int powerActions = 0;
    for (const ThingManager::ActionLogEntry &entry : household.thingManager()->actionLog())
        powerActions += entry.actionTypeName == QLatin1String("power") ? 1 : 0;
    QCOMPARE(powerActions, switchedOff ? 1 : 0);
    QCOMPARE(charger->stateValue(QStringLiteral("power")).toBool(), !switchedOff);
}

void TestChargingConfigurationHandling::userActions_data()
{
    QTest::addColumn<UserActionCase>("c");
    const QString ac = QStringLiteral("evChargerAc");
    const QString dc = QStringLiteral("evChargerDc");
    const int normal = ChargingConfiguration::ChargingModeNormal;
    const int eco = ChargingConfiguration::ChargingModeEco;
    const int user = Action::TriggeredByUser;
    const int rule = Action::TriggeredByRule;
    QTest::newRow("eco power on by user") << UserActionCase{ac, eco, "power", true, user, false, 6, 3, 0};
    QTest::newRow("normal current by user")
            << UserActionCase{ac, normal, "maxChargingCurrent", 16.0, user, false, 16, 3, 0};
    QTest::newRow("normal current by rule")
            << UserActionCase{ac, normal, "maxChargingCurrent", 16.0, rule, false, 6, 3, 0};
    QTest::newRow("normal power on by user") << UserActionCase{ac, normal, "power", true, user, true, 6, 3, 0};
    QTest::newRow("normal phase count by user")
            << UserActionCase{ac, normal, "desiredPhaseCount", 1, user, false, 6, 1, 0};
    QTest::newRow("dc normal power by user")
            << UserActionCase{dc, normal, "chargingPower", 5000.0, user, false, 6, 3, 5000};
    QTest::newRow("dc normal on by user") << UserActionCase{dc, normal, "power", true, user, true, 6, 3, 0};
    QTest::newRow("dc eco power by user") << UserActionCase{dc, eco, "chargingPower", 5000.0, user, false, 6, 3, 0};
}

void TestChargingConfigurationHandling::userActions()
{
    QFETCH(UserActionCase, c);
    HouseholdFixture household;
    Thing *charger = household.addThing(c.chargerClass, QStringLiteral("Charger"));
    SmartChargingManager *manager = household.createManager();
    if (c.mode != ChargingConfiguration::ChargingModeNormal) {
        QCOMPARE(household.configure(charger,
                                     [&](ChargingConfiguration &configuration) {
                                         configuration.setChargingMode(ChargingConfiguration::ChargingMode(c.mode));
                                         configuration.setTargetPercentage(90);
                                     }),
                 EnergyManager::EnergyErrorNoError);
    }

    household.executeStateAction(charger, c.stateName, c.value, Action::TriggeredBy(c.origin));

    const ChargingConfiguration configuration = manager->chargingConfiguration(charger->id());
    QCOMPARE(configuration.manualChargingEnabled(), c.enabled);
    QCOMPARE(configuration.manualMaxChargingCurrent(), c.current);
    QCOMPARE(configuration.manualDesiredPhaseCount(), c.phases);
    QCOMPARE(configuration.manualChargingPower(), c.power);
    // The file agrees (absent keys stand for the defaults).
    const ThingId id = charger->id();
    QCOMPARE(storedValue(id, QStringLiteral("manualChargingEnabled"), false).toBool(), c.enabled);
    QCOMPARE(storedValue(id, QStringLiteral("manualMaxChargingCurrent"), 6.0).toDouble(), c.current);
    QCOMPARE(storedValue(id, QStringLiteral("manualDesiredPhaseCount"), 3u).toUInt(), c.phases);
    QCOMPARE(storedValue(id, QStringLiteral("manualChargingPower"), 0.0).toDouble(), c.power);
}

void TestChargingConfigurationHandling::userSetsCarLevel()
{
    HouseholdFixture household;
    Thing *car = household.addThing(QStringLiteral("electricVehicle"), QStringLiteral("Car"));
    Thing *reportingCar =
            household.addThing(QStringLiteral("electricVehicleConnected"), QStringLiteral("Reporting car"));
    household.createManager();
    car->setProperty("lastSoCCalculation", household.now());

    auto storedLevel = [](const Thing *thing) {
        EnergySettings settings;
        return settings.value(QStringLiteral("ManualSoCs/") + thing->id().toString());
    };

    household.executeStateAction(car, QStringLiteral("batteryLevel"), 55, Action::TriggeredByRule);
    QVERIFY(!storedLevel(car).isValid());

    household.executeStateAction(car, QStringLiteral("batteryLevel"), 57);
    household.executeStateAction(reportingCar, QStringLiteral("capacity"), 60.0);
    QCOMPARE(storedLevel(car).toInt(), 57);
    QVERIFY(!storedLevel(reportingCar).isValid());
    QCOMPARE(car->property("preciseSoC").toInt(), 57);
    QCOMPARE(car->property("preciseBatteryLevel").toDouble(), 57.0);
    QVERIFY(!car->property("lastSoCCalculation").toDateTime().isValid());
}

void TestChargingConfigurationHandling::restoredAfterRestart()
{
    HouseholdFixture household;
    Thing *charger = household.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"));
    Thing *car = household.addThing(QStringLiteral("electricVehicle"), QStringLiteral("Car"));
    SmartChargingManager *manager = household.createManager();

    household.executeStateAction(charger, QStringLiteral("maxChargingCurrent"), 16.0);
    ChargingConfiguration configuration(charger->id());
    configuration.setAssignedCarId(car->id());
    configuration.setChargingMode(ChargingConfiguration::ChargingModeEcoWithTargetTime);
    configuration.setEndDateTime(QDateTime(QDate(2026, 1, 6), QTime(7, 30)));
    configuration.setRepeatDays({1, 7});
    configuration.setTargetPercentage(90);
    configuration.setDischargeFloorPercentage(20);
    configuration.setDailySpotMarketPercentage(40);
    configuration.setLockOnUnplug(true);
    configuration.setStopOnTargetPercentage(true);
    configuration.setLocale(QLocale(QLocale::German, QLocale::Germany));
    QCOMPARE(manager->setChargingConfiguration(configuration), EnergyManager::EnergyErrorNoError);
    household.processEvents();
    const ChargingConfiguration before = manager->chargingConfiguration(charger->id());
    QCOMPARE(before.manualMaxChargingCurrent(), 16.0);

    household.destroyManager();
    manager = household.createManager();
    QCOMPARE(manager->chargingConfiguration(charger->id()), before);
    QCOMPARE(manager->chargingConfiguration(charger->id()).endDateTime().timeSpec(), Qt::LocalTime);
}

void TestChargingConfigurationHandling::missingCharger_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<uint>("target"); // % once the charger is there again

    // A host may start a charger late, or miss it for one start: the owner's
    // settings wait for it.
    QTest::newRow("added late in the same run") << "late" << 60u;
    QTest::newRow("missing at one start, back at the next") << "missed start" << 60u;
    // Only the host's word that the charger was removed ends them.
    QTest::newRow("removed by the host") << "removed" << ChargingConfiguration(ThingId()).targetPercentage();
}

void TestChargingConfigurationHandling::missingCharger()
{
    QFETCH(QString, how);
    QFETCH(uint, target);

    HouseholdFixture household;
    household.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"));
    const ThingId id = household.addThing(QStringLiteral("evChargerAcBasic"), QStringLiteral("Other"))->id();
    SmartChargingManager *manager = household.createManager();
    ChargingConfiguration configuration(id);
    configuration.setTargetPercentage(60);
    QCOMPARE(manager->setChargingConfiguration(configuration), EnergyManager::EnergyErrorNoError);
    const QStringList keys = storedKeys(id);
    QCOMPARE(keys.count(), 14);

    auto addAgain = [&household, &id]() {
        QVERIFY(household.thingManager()->addConfiguredThing(QStringLiteral("evChargerAcBasic"),
                                                             QStringLiteral("Other"), id));
        household.processEvents();
    };
    if (how == QLatin1String("removed")) {
        QSignalSpy removed(manager, &SmartChargingManager::chargingConfigurationRemoved);
        household.thingManager()->removeConfiguredThing(id);
        household.processEvents();
        QCOMPARE(removed.count(), 1);
        QVERIFY(storedKeys(id).isEmpty());
        household.destroyManager();
        addAgain();
        manager = household.createManager();
    } else {
        household.destroyManager();
        household.thingManager()->removeConfiguredThing(id);
        household.processEvents();
        manager = household.createManager();
        QCOMPARE(manager->chargingConfigurations().count(), 1);
        QCOMPARE(storedKeys(id), keys);
        if (how == QLatin1String("missed start")) {
            household.destroyManager();
            addAgain();
            manager = household.createManager();
        } else {
            QSignalSpy added(manager, &SmartChargingManager::chargingConfigurationAdded);
            addAgain();
            QCOMPARE(added.count(), 1);
            QCOMPARE(added.first().first().value<ChargingConfiguration>().targetPercentage(), target);
        }
    }
    QCOMPARE(manager->chargingConfigurations().count(), 2);
    QCOMPARE(manager->chargingConfiguration(id).targetPercentage(), target);
}

void TestChargingConfigurationHandling::garbageValues_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("raw");
    QTest::addColumn<QVariant>("restored");

    QTest::newRow("target text") << "targetPercentage" << QVariant("abc") << QVariant(0u);
    QTest::newRow("target above 100 clamped") << "targetPercentage" << QVariant(250) << QVariant(100u);
    QTest::newRow("mode out of range") << "chargingMode" << QVariant(9) << QVariant(0);
    QTest::newRow("single repeat day as text") << "repeatDays" << QVariant("3") << QVariant("3");
    QTest::newRow("repeat days out of range or twice dropped")
            << "repeatDays" << QVariant("0, 8, 2, 2") << QVariant("2");
    QTest::newRow("lock flag garbage") << "lockOnUnplug" << QVariant("maybe") << QVariant(false);
    QTest::newRow("phase count 0 clamped") << "manualDesiredPhaseCount" << QVariant(0) << QVariant(1u);
    QTest::newRow("current garbage") << "manualMaxChargingCurrent" << QVariant("lots") << QVariant(0.0);
    QTest::newRow("car id garbage") << "assignedCarId" << QVariant("garbage") << QVariant(QUuid());
    QTest::newRow("locale as text") << "locale" << QVariant("de_DE") << QVariant("de_DE");
}

void TestChargingConfigurationHandling::garbageValues()
{
    QFETCH(QString, key);
    QFETCH(QVariant, raw);
    QFETCH(QVariant, restored);

    HouseholdFixture household;
    Thing *charger = household.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"));
    writeValue(chargerGroup(charger->id()) + QStringLiteral("/dailySpotMarketPercentage"), 40);
    writeValue(chargerGroup(charger->id()) + QLatin1Char('/') + key, raw);
    writeValue(group + QStringLiteral("/not-a-uuid/targetPercentage"), 50);

    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^EV charger with ID \"not-a-uuid\" not found")));
    SmartChargingManager *manager = household.createManager();

    const ChargingConfiguration configuration = manager->chargingConfiguration(charger->id());
    QCOMPARE(configuration.evChargerId(), charger->id());
    // Everything sound in the entry is restored.
    QCOMPARE(configuration.dailySpotMarketPercentage(), 40u);

    const QHash<QString, QVariant> fields = {
            {QStringLiteral("targetPercentage"), configuration.targetPercentage()},
            {QStringLiteral("chargingMode"), int(configuration.chargingMode())},
            {QStringLiteral("lockOnUnplug"), configuration.lockOnUnplug()},
            {QStringLiteral("manualDesiredPhaseCount"), configuration.manualDesiredPhaseCount()},
            {QStringLiteral("manualMaxChargingCurrent"), configuration.manualMaxChargingCurrent()},
            {QStringLiteral("assignedCarId"), configuration.assignedCarId()},
            {QStringLiteral("locale"), configuration.locale().name()},
    };
    QStringList days;
    for (int day : configuration.repeatDays())
        days << QString::number(day);
    const QVariant actual =
            key == QLatin1String("repeatDays") ? QVariant(days.join(QLatin1Char(','))) : fields.value(key);
    QCOMPARE(actual, restored);

    EnergySettings settings;
    settings.beginGroup(group);
    QCOMPARE(settings.childGroups(), QStringList({charger->id().toString()}));
}

QTEST_GUILESS_MAIN(TestChargingConfigurationHandling)
#include "tst_chargingconfigurationhandling.moc"
