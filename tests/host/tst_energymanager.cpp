#include "tavro-energy/energymanager.h"
#include "tavro/thingmanager.h"

#include <QSignalSpy>
#include <QtTest>

class TestEnergyManager : public QObject
{
    Q_OBJECT

private slots:
    void powerBalance();
    void minuteSamples();
    void rootMeterRemoved();
};

void TestEnergyManager::powerBalance()
{
    ThingManager thingManager;
    EnergyManager energyManager(&thingManager);
    QSignalSpy rootMeterSpy(&energyManager, &EnergyManager::rootMeterChanged);
    Thing *meter = thingManager.addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Meter"));
    QCOMPARE(rootMeterSpy.count(), 1);
    QCOMPARE(energyManager.rootMeter(), meter);
    Thing *inverter = thingManager.addConfiguredThing(QStringLiteral("solarInverter"), QStringLiteral("PV"));
    Thing *battery = thingManager.addConfiguredThing(QStringLiteral("homeBattery"), QStringLiteral("Battery"));

    QSignalSpy balanceSpy(&energyManager, &EnergyManager::powerBalanceChanged);
    inverter->setStateValue(QStringLiteral("currentPower"), -5000.0);
    battery->setStateValue(QStringLiteral("currentPower"), 1000.0);
    meter->setStateValue(QStringLiteral("currentPower"), -2500.0);
    QCOMPARE(balanceSpy.count(), 3);
    QCOMPARE(energyManager.currentPowerAcquisition(), -2500.0);
    QCOMPARE(energyManager.currentPowerProduction(), -5000.0);
    QCOMPARE(energyManager.currentPowerStorage(), 1000.0);
    // 5000 W produced, 2500 W exported, 1000 W into the battery.
    QCOMPARE(energyManager.currentPowerConsumption(), 1500.0);

    // An unrelated state changes nothing.
    meter->setStateValue(QStringLiteral("voltagePhaseA"), 231.0);
    QCOMPARE(balanceSpy.count(), 3);
}

void TestEnergyManager::minuteSamples()
{
    ThingManager thingManager;
    EnergyManager energyManager(&thingManager);
    thingManager.addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Meter"));
    thingManager.addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"));
    thingManager.addConfiguredThing(QStringLiteral("electricVehicle"), QStringLiteral("Car"));

    QSignalSpy balanceSpy(energyManager.logs(), &EnergyLogs::powerBalanceEntryAdded);
    QSignalSpy thingSpy(energyManager.logs(), &EnergyLogs::thingPowerEntryAdded);
    energyManager.sampleMinute(QDateTime(QDate(2026, 3, 1), QTime(10, 15, 42)));
    QCOMPARE(balanceSpy.count(), 1);
    QCOMPARE(balanceSpy.at(0).at(0).value<EnergyLogs::SampleRate>(), EnergyLogs::SampleRate1Min);
    QCOMPARE(balanceSpy.at(0).at(1).value<PowerBalanceLogEntry>().timestamp(),
             QDateTime(QDate(2026, 3, 1), QTime(10, 15)));
    // The meter and the charger have a "currentPower" state, the car not.
    QCOMPARE(thingSpy.count(), 2);
}

void TestEnergyManager::rootMeterRemoved()
{
    ThingManager thingManager;
    EnergyManager energyManager(&thingManager);
    Thing *meter = thingManager.addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Meter"));
    QSignalSpy rootMeterSpy(&energyManager, &EnergyManager::rootMeterChanged);
    thingManager.removeConfiguredThing(meter->id());
    QCOMPARE(rootMeterSpy.count(), 1);
    QVERIFY(!energyManager.rootMeter());
}

QTEST_GUILESS_MAIN(TestEnergyManager)
#include "tst_energymanager.moc"
