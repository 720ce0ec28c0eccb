#include <QtTest>
#include "settingssandbox.h"

#include "devices/evchargerdc.h"
#include "tavro/thingmanager.h"

// A DC charger with only the states every one has, plus a "connected" state
// although it is not "connectable".
static const char minimalClass[] = R"(
 {"id": "{0b7de3a4-52c1-4e53-8f0e-3d0c6f2a0001}", "name": "dcMinimal", "interfaces": ["evchargerdc"], "stateTypes": [
  {"id": "{0b7de3a4-52c1-4e53-8f0e-3d0c6f2a0011}", "name": "power", "type": "bool", "writable": true},
  {"id": "{0b7de3a4-52c1-4e53-8f0e-3d0c6f2a0012}", "name": "chargingPower", "type": "double", "writable": true},
  {"id": "{0b7de3a4-52c1-4e53-8f0e-3d0c6f2a0013}", "name": "chargingCapabilities", "type": "string"},
  {"id": "{0b7de3a4-52c1-4e53-8f0e-3d0c6f2a0014}", "name": "connected", "type": "bool", "defaultValue": false}]}
)";

class TestEvChargerDc : public QObject
{
    Q_OBJECT

    SettingsSandbox m_dir;
    ThingManager *m_manager = nullptr;

    EvChargerDc *addCharger(const QString &className)
    {
        return new EvChargerDc(m_manager, m_manager->addConfiguredThing(className, QStringLiteral("Carport")));
    }

private slots:
    void initTestCase()
    {
        m_dir.apply();
        m_manager = new ThingManager(this);
        QVERIFY(m_manager->registerThingClass(ThingClass::fromJson(QJsonDocument::fromJson(minimalClass).object())));
    }

    void capabilities_data()
    {
        QTest::addColumn<QString>("capabilities");
        QTest::addColumn<bool>("charges");
        QTest::addColumn<bool>("discharges");
        QTest::newRow("charging") << "charging" << true << false;
        QTest::newRow("discharging") << "discharging" << false << true;
        QTest::newRow("bidirectional") << "bidirectional" << true << true;
        QTest::newRow("wrong case") << "Charging" << false << false;
    }
    void capabilities()
    {
        QFETCH(QString, capabilities);
        QFETCH(bool, charges);
        QFETCH(bool, discharges);
        EvChargerDc *charger = addCharger("evChargerDc");
        charger->thing()->setStateValue(QStringLiteral("chargingCapabilities"), capabilities);
        QCOMPARE(charger->supportsCharging(), charges);
        QCOMPARE(charger->supportsDischarging(), discharges);
    }

    void missingStates()
    {
        EvChargerDc *minimal = addCharger("dcMinimal");
        minimal->thing()->setStateValue(QStringLiteral("chargingPower"), 4000.0);
        QVERIFY(minimal->pluggedIn());
        QVERIFY(!minimal->hlcSessionActive());
        QVERIFY(minimal->connectedVehicleThingId().isNull());
        QCOMPARE(minimal->maxChargingPower(), 0.0);
        QCOMPARE(minimal->measuredPower(), 4000.0);
        QVERIFY(minimal->available());

        EvChargerDc *full = addCharger("evChargerDc");
        const ThingId car = ThingId::createUuid();
        full->thing()->setStateValue(QStringLiteral("connectedVehicleThingId"), car.toString());
        full->thing()->setStateValue(QStringLiteral("currentPower"), 3800.0);
        full->thing()->setStateValue(QStringLiteral("connected"), false);
        QVERIFY(!full->available());
        QCOMPARE(full->connectedVehicleThingId(), car);
        QCOMPARE(full->measuredPower(), 3800.0);
    }

    void commands()
    {
        EvChargerDc *charger = addCharger("evChargerDc");
        m_manager->clearActionLog();
        charger->setChargingEnabled(true);
        // Sent as given, although the class allows +-22000 W only.
        QSignalSpy finished(charger->setChargingPower(30000.0), &ThingActionInfo::finished);
        QVERIFY(finished.wait());
        QVariantList sent;
        for (const ThingManager::ActionLogEntry &entry : m_manager->actionLog()) {
            QCOMPARE(entry.triggeredBy, Action::TriggeredByRule);
            sent << entry.actionTypeName << entry.params.first().value();
        }
        QCOMPARE(sent, QVariantList({"power", true, "chargingPower", 30000.0}));
        QCOMPARE(charger->chargingPower(), 22000.0);
    }
};

QTEST_GUILESS_MAIN(TestEvChargerDc)
#include "tst_evchargerdc.moc"
