#include "householdfixture.h"

#include "config/energysettings.h"

#include "tavro/thing.h"

#include <QUrlQuery>
#include <QtTest>

using Access = CycleProbe;

namespace {

// Warnings seen while a handler of the test's own is installed; each still
// reaches Qt Test, so that an expected one is matched as before.
int s_warnings = 0;
QtMessageHandler s_previousHandler = nullptr;

void countWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg)
        s_warnings++;
    s_previousHandler(type, context, message);
}

QVariant notifyParam(Thing *notifications, const ThingManager::ActionLogEntry &entry, const QString &name)
{
    const ActionType notify = notifications->thingClass().actionTypes().findByName(QStringLiteral("notify"));
    return entry.params.paramValue(notify.paramTypes().findByName(name).id());
}

// An AC charger (metered or not) with a car, in eco mode. The charger starts
// plugged in unless asked otherwise, so no session is started by accident.
struct Household {
    Household(const QString &chargerClass, const QString &carClass, bool pluggedIn, int notificationThings = 1)
    {
        for (int i = 0; i < notificationThings; i++)
            notifications.append(
                    fixture.addThing(QStringLiteral("pushNotifications"), QStringLiteral("Phone %1").arg(i)));
        charger = fixture.addThing(chargerClass, QStringLiteral("Garage"), {{"pluggedIn", pluggedIn}});
        car = fixture.addThing(carClass, QStringLiteral("Car"), {{"capacity", 50}, {"batteryLevel", 55}});
        manager = fixture.createManager();
    }

    bool configure(ChargingConfiguration::ChargingMode mode, const QLocale &locale = QLocale(QLocale::English))
    {
        return fixture.configure(charger, [&](ChargingConfiguration &configuration) {
            configuration.setAssignedCarId(car->id());
            configuration.setChargingMode(mode);
            configuration.setLocale(locale);
        }) == EnergyManager::EnergyErrorNoError;
    }

    // The level last entered by the user.
    void storeLevel(const QVariant &level)
    {
        EnergySettings settings;
        settings.setValue(QStringLiteral("ManualSoCs/") + car->id().toString(), level);
    }

    void plugIn()
    {
        fixture.thingManager()->clearActionLog();
        charger->setStateValue(QStringLiteral("pluggedIn"), true);
        fixture.processEvents();
    }

    HouseholdFixture fixture;
    QList<Thing *> notifications;
    Thing *charger = nullptr;
    Thing *car = nullptr;
    SmartChargingManager *manager = nullptr;
};

}

struct SessionCase {
    QString carClass;
    QVariant storedLevel;
    int notificationThings;
    bool session;
    int expectedLevel;
};
Q_DECLARE_METATYPE(SessionCase)

struct EstimateCase {
    double capacity;
    int startLevel;
    double expectedSoc;
    int expectedLevel;
    int levelActions;
};
Q_DECLARE_METATYPE(EstimateCase)

class TestManualSoc : public QObject
{
    Q_OBJECT

private slots:
    void sessionStartsOnPlugIn_data();
    void sessionStartsOnPlugIn();
    void deferredSessionStartsOnce();
    void levelTypedDuringPlugIn_data();
    void levelTypedDuringPlugIn();
    void notificationTranslation_data();
    void notificationTranslation();
    void meteredEstimate_data();
    void meteredEstimate();
    void meterlessEstimateCountsFromSecondCycle();
};

void TestManualSoc::sessionStartsOnPlugIn_data()
{
    QTest::addColumn<SessionCase>("row");

    QTest::newRow("never entered starts at 20") << SessionCase{"electricVehicle", QVariant(), 1, true, 20};
    QTest::newRow("last entered level, two phones") << SessionCase{"electricVehicle", QVariant(65), 2, true, 65};
    QTest::newRow("stored level above 100 capped") << SessionCase{"electricVehicle", QVariant(150), 1, true, 100};
    QTest::newRow("no notification thing still starts") << SessionCase{"electricVehicle", QVariant(), 0, true, 20};
    QTest::newRow("read-only level never a session")
            << SessionCase{"electricVehicleConnected", QVariant(), 1, false, 55};
}

void TestManualSoc::sessionStartsOnPlugIn()
{
    QFETCH(SessionCase, row);
    const auto &[carClass, storedLevel, notificationThings, session, expectedLevel] = row;

    Household household(QStringLiteral("evChargerAc"), carClass, false, notificationThings);
    if (storedLevel.isValid())
        household.storeLevel(storedLevel);
    QVERIFY(household.configure(ChargingConfiguration::ChargingModeEco));
    QVERIFY(!Access::hasManualSocSession(household.manager, household.charger));

    household.plugIn();

    QCOMPARE(Access::hasManualSocSession(household.manager, household.charger), session);
    QCOMPARE(household.car->stateValue(QStringLiteral("batteryLevel")).toInt(), expectedLevel);
    const QList<ThingManager::ActionLogEntry> levelActions = household.fixture.actionLog(household.car, "batteryLevel");
    QCOMPARE(levelActions.count(), session ? 1 : 0);
    if (session) {
        QCOMPARE(levelActions.first().triggeredBy, Action::TriggeredByRule);
        QCOMPARE(household.car->property("preciseSoC").toInt(), expectedLevel);
        QCOMPARE(household.car->property("preciseBatteryLevel").toDouble(), double(expectedLevel));
        QVERIFY(!household.car->property("lastSoCCalculation").toDateTime().isValid());
    } else {
        QVERIFY(!household.car->property("preciseSoC").isValid());
    }

    for (Thing *notifications : qAsConst(household.notifications)) {
        const QList<ThingManager::ActionLogEntry> sent = household.fixture.actionLog(notifications, "notify");
        QCOMPARE(sent.count(), session ? 1 : 0);
        if (!session)
            continue;
        QCOMPARE(sent.first().status, Thing::ThingErrorNoError);
        QCOMPARE(sent.first().triggeredBy, Action::TriggeredByRule);
        QCOMPARE(notifyParam(notifications, sent.first(), "title").toString(), QStringLiteral("Car plugged in"));
        QCOMPARE(notifyParam(notifications, sent.first(), "body").toString(),
                 QStringLiteral("Tap here to update the state of charge."));
        const QUrlQuery data(notifyParam(notifications, sent.first(), "data").toString());
        const QList<QPair<QString, QString>> expected = {{"open", "tavro.energy"},
                                                         {"thingId", household.charger->id().toString()}};
        QCOMPARE(data.queryItems(QUrl::FullyDecoded), expected);
    }
}

void TestManualSoc::deferredSessionStartsOnce()
{
    Household household(QStringLiteral("evChargerAc"), QStringLiteral("electricVehicle"), false);
    QVERIFY(household.configure(ChargingConfiguration::ChargingModeNormal));

    // Plugged in while in normal mode: deferred until a smart mode is entered.
    household.plugIn();
    QVERIFY(!Access::hasManualSocSession(household.manager, household.charger));
    QVERIFY(household.configure(ChargingConfiguration::ChargingModeEco));
    QVERIFY(Access::hasManualSocSession(household.manager, household.charger));
    QCOMPARE(household.fixture.actionLog(household.notifications.first(), "notify").count(), 1);

    // The same charger and car again during this plug-in: nothing new.
    QVERIFY(!Access::initializeManualSoc(household.manager, household.charger));
    household.fixture.processEvents();
    QCOMPARE(household.fixture.actionLog(household.notifications.first(), "notify").count(), 1);
    QCOMPARE(household.fixture.actionLog(household.car, "batteryLevel").count(), 1);
}

void TestManualSoc::levelTypedDuringPlugIn_data()
{
    QTest::addColumn<bool>("typedWhilePluggedIn");
    QTest::addColumn<double>("expectedSoc");
    QTest::addColumn<int>("notifications");

    // Typed at 70 %, counted up to 73.4 % in normal mode, then eco mode.
    QTest::newRow("typed while plugged in keeps the count") << true << 73.4 << 0;
    QTest::newRow("typed before the plug-in starts afresh") << false << 70.0 << 1;
}

void TestManualSoc::levelTypedDuringPlugIn()
{
    QFETCH(bool, typedWhilePluggedIn);
    QFETCH(double, expectedSoc);
    QFETCH(int, notifications);

    Household household(QStringLiteral("evChargerAc"), QStringLiteral("electricVehicle"), false);
    QVERIFY(household.configure(ChargingConfiguration::ChargingModeNormal));
    if (!typedWhilePluggedIn)
        household.fixture.executeStateAction(household.car, QStringLiteral("batteryLevel"), 70);
    household.plugIn();
    if (typedWhilePluggedIn)
        household.fixture.executeStateAction(household.car, QStringLiteral("batteryLevel"), 70);
    // What the estimate counted while the owner charged by hand.
    household.car->setProperty("preciseSoC", 73.4);
    HouseholdFixture::setStates(household.car, {{"batteryLevel", 73}});
    household.fixture.thingManager()->clearActionLog();

    QVERIFY(household.configure(ChargingConfiguration::ChargingModeEco));

    QVERIFY(Access::hasManualSocSession(household.manager, household.charger));
    QCOMPARE(household.car->property("preciseSoC").toDouble(), expectedSoc);
    QCOMPARE(household.car->stateValue(QStringLiteral("batteryLevel")).toInt(), qRound(expectedSoc));
    QCOMPARE(household.fixture.actionLog(household.notifications.first(), "notify").count(), notifications);
}

void TestManualSoc::notificationTranslation_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("body");
    QTest::addColumn<bool>("missing");

    QTest::newRow("german") << "de_DE"
                            << "Auto angesteckt"
                            << "Hier tippen, um den Ladestand zu aktualisieren." << false;
    QTest::newRow("english is the source, nothing to load") << "en_US"
                                                            << "Car plugged in"
                                                            << "Tap here to update the state of charge." << false;
    QTest::newRow("C locale is the source too") << "C"
                                                << "Car plugged in"
                                                << "Tap here to update the state of charge." << false;
    QTest::newRow("no french translation keeps english") << "fr_FR"
                                                         << "Car plugged in"
                                                         << "Tap here to update the state of charge." << true;
}

void TestManualSoc::notificationTranslation()
{
    QFETCH(QString, locale);
    QFETCH(QString, title);
    QFETCH(QString, body);
    QFETCH(bool, missing);

    Household household(QStringLiteral("evChargerAc"), QStringLiteral("electricVehicle"), true);
    qputenv("TAVRO_TRANSLATIONS_PATH", QByteArray(TAVRO_TEST_TRANSLATIONS_DIR));
    if (missing) {
        const QString path =
                QStringLiteral(TAVRO_TEST_TRANSLATIONS_DIR "/tavro-energy-plugin-tavro-[%1].qm").arg(locale);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^Error loading translations for notification from: \"")
                                                + QRegularExpression::escape(path) + QStringLiteral("\"")));
    }

    // Already plugged in: entering eco mode starts the session with the new locale.
    // Any warning beyond the one expected is a fault the owner's log would carry.
    s_warnings = 0;
    s_previousHandler = qInstallMessageHandler(countWarnings);
    const bool configured = household.configure(ChargingConfiguration::ChargingModeEco, QLocale(locale));
    qInstallMessageHandler(s_previousHandler);
    QVERIFY(configured);
    QCOMPARE(s_warnings, missing ? 1 : 0);

    Thing *notifications = household.notifications.first();
    const QList<ThingManager::ActionLogEntry> sent = household.fixture.actionLog(notifications, "notify");
    QCOMPARE(sent.count(), 1);
    QCOMPARE(notifyParam(notifications, sent.first(), "title").toString(), title);
    QCOMPARE(notifyParam(notifications, sent.first(), "body").toString(), body);
}

void TestManualSoc::meteredEstimate_data()
{
    QTest::addColumn<EstimateCase>("row");

    // 3 minutes at 11 kW with 10 % loss: 0.495 kWh into the battery.
    QTest::newRow("rounded level changes once") << EstimateCase{50.0, 20, 20.99, 21, 1};
    QTest::newRow("estimate capped at 100") << EstimateCase{1.0, 99, 100.0, 100, 1};
    QTest::newRow("no capacity keeps the estimate") << EstimateCase{0.0, 20, 20.0, 20, 0};
}

void TestManualSoc::meteredEstimate()
{
    QFETCH(EstimateCase, row);
    const auto &[capacity, startLevel, expectedSoc, expectedLevel, levelActions] = row;

    Household household(QStringLiteral("evChargerAc"), QStringLiteral("electricVehicle"), true);
    household.storeLevel(startLevel);
    HouseholdFixture::setStates(household.car, {{"capacity", capacity}});
    QVERIFY(household.configure(ChargingConfiguration::ChargingModeEco));
    QCOMPARE(household.car->stateValue(QStringLiteral("batteryLevel")).toInt(), startLevel);
    HouseholdFixture::setStates(household.charger, {{"charging", true}, {"currentPower", 11000}});
    household.fixture.thingManager()->clearActionLog();

    for (int minute = 0; minute < 3; minute++) {
        household.fixture.runCycle();
        household.fixture.advance(60);
    }

    QCOMPARE(household.car->property("totalEnergyCharged").toDouble(), 0.495);
    QCOMPARE(household.car->property("preciseSoC").toDouble(), expectedSoc);
    QCOMPARE(household.car->stateValue(QStringLiteral("batteryLevel")).toInt(), expectedLevel);
    QCOMPARE(household.fixture.actionLog(household.car, "batteryLevel").count(), levelActions);
}

void TestManualSoc::meterlessEstimateCountsFromSecondCycle()
{
    // 6 A on 3 phases: 4140 W estimated from the current limit.
    Household household(QStringLiteral("evChargerAcBasic"), QStringLiteral("electricVehicle"), true);
    household.storeLevel(40);
    HouseholdFixture::setStates(household.charger, {{"charging", true}, {"maxChargingCurrent", 6}});

    // Entering eco mode starts the session and runs a cycle at once, before
    // the car has received its new level: the estimate starts from the session.
    QVERIFY(household.configure(ChargingConfiguration::ChargingModeEco));
    QCOMPARE(household.car->stateValue(QStringLiteral("batteryLevel")).toInt(), 40);
    QCOMPARE(household.car->property("preciseSoC").toInt(), 40);
    QCOMPARE(household.car->property("lastSoCCalculation").toDateTime(), household.fixture.now());
    QVERIFY(!household.car->property("totalEnergyCharged").isValid());

    // Ten idle minutes move the time only.
    HouseholdFixture::setStates(household.charger, {{"charging", false}});
    household.fixture.advance(600);
    household.fixture.runCycle();
    QVERIFY(!household.car->property("totalEnergyCharged").isValid());

    // One charging minute: 4140 W × 60 s × 0.9 = 0.0621 kWh = 0.1242 % of 50 kWh.
    HouseholdFixture::setStates(household.charger, {{"charging", true}});
    household.fixture.advance(60);
    household.fixture.runCycle();
    QCOMPARE(household.car->property("totalEnergyCharged").toDouble(), 0.0621);
    QCOMPARE(household.car->property("preciseSoC").toDouble(), 40.1242);
    QCOMPARE(household.car->stateValue(QStringLiteral("batteryLevel")).toInt(), 40);
}

QTEST_GUILESS_MAIN(TestManualSoc)

#include "tst_manualsoc.moc"
