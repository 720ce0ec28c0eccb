#include <QtTest>
#include "settingssandbox.h"

#include "devices/rootmeter.h"
#include "tavro/thingmanager.h"

// skipped: phases the meter cannot tell, each logged once.
struct AllowanceCase {
    QString className;
    QVariantMap states;
    int phases;
    uint limit;
    double allowance;
    QStringList skipped;
};
Q_DECLARE_METATYPE(AllowanceCase)

class TestRootMeter : public QObject
{
    Q_OBJECT

    SettingsSandbox m_dir;
    ThingManager *m_manager = nullptr;

private slots:
    void initTestCase()
    {
        m_dir.apply();
        QLoggingCategory::setFilterRules(QStringLiteral("TavroEnergy.debug=true"));
        m_manager = new ThingManager(this);
    }

    void allowance_data()
    {
        QTest::addColumn<AllowanceCase>("c");
        const QVariantMap example({{"currentPhaseA", 10}, {"currentPhaseB", 12}, {"currentPhaseC", -3}});
        QTest::newRow("10/12/-3 A at 16 A") << AllowanceCase{"gridMeter", example, 7, 16, 4, {}};
        QTest::newRow("empty set means all phases") << AllowanceCase{"gridMeter", example, 0, 16, 4, {}};
        QTest::newRow("export on every phase") << AllowanceCase{
                "gridMeter", {{"currentPhaseA", -10}, {"currentPhaseB", -5}, {"currentPhaseC", -1}}, 0, 25, 25, {}};
        QTest::newRow("30 A over a 25 A limit") << AllowanceCase{"gridMeter", {{"currentPhaseB", 30}}, 0, 25, -5, {}};
        const QVariantMap singlePhase({{"currentPower", 4600}});
        QTest::newRow("single-phase 4600 W, phase A")
                << AllowanceCase{"gridMeterSinglePhase", singlePhase, 1, 25, 5, {}};
        QTest::newRow("single-phase, phase B alone")
                << AllowanceCase{"gridMeterSinglePhase", singlePhase, 2, 25, 25, {"B"}};
        QTest::newRow("single-phase, all phases")
                << AllowanceCase{"gridMeterSinglePhase", singlePhase, 0, 25, 5, {"B", "C"}};
        // 2000 W at phase A's 200 V is 10 A; at 230 V it would be 8.7 A.
        QTest::newRow("phase A voltage carries over") << AllowanceCase{
                "gridMeterPowerOnly", {{"voltagePhaseA", 200}, {"currentPowerPhaseB", 2000}}, 0, 16, 6, {}};
        QTest::newRow("0 V reading counts as 230 V") << AllowanceCase{
                "gridMeterPowerOnly", {{"voltagePhaseA", 0}, {"currentPowerPhaseA", 2300}}, 0, 16, 6, {}};
    }
    void allowance()
    {
        QFETCH(AllowanceCase, c);
        Thing *thing = m_manager->addConfiguredThing(c.className, QStringLiteral("Grid"));
        for (auto it = c.states.constBegin(); it != c.states.constEnd(); ++it)
            thing->setStateValue(it.key(), it.value());
        for (const QString &phase : c.skipped)
            QTest::ignoreMessage(
                    QtDebugMsg,
                    qPrintable(QString("Asked to calculate allowence for Phase %1 on a single phase root meter.")
                                       .arg(phase)));
        QCOMPARE(RootMeter(thing).calculateAllowanceAmpere(Electricity::Phases(c.phases), c.limit), c.allowance);
    }

    void currentPowerSignal()
    {
        Thing *thing = m_manager->addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Grid"));
        RootMeter *meter = new RootMeter(thing);
        QSignalSpy spy(meter, &RootMeter::currentPowerChanged);
        thing->setStateValue(QStringLiteral("currentPowerPhaseA"), 1200.0);
        thing->setStateValue(QStringLiteral("currentPower"), -3400.0);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.first().first().toDouble(), -3400.0);
    }
};

QTEST_GUILESS_MAIN(TestRootMeter)
#include "tst_rootmeter.moc"
