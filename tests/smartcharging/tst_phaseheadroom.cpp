#include <QtTest>
#include "settingssandbox.h"

#include "devices/rootmeter.h"
#include "smartcharging/phaseheadroom.h"
#include "tavro/thingmanager.h"

#include <limits>

namespace {

using Spend = QPair<int, double>; // phase flags (0: none given), A
const double unlimited = std::numeric_limits<double>::infinity();

}

// meter: A per phase at the meter; limit: A per phase, 0 none; noMeter:
// the cycle has no root meter. available: A left on A, B, C, A+B and the
// empty set after the spends; spent: W they add up to.
struct HeadroomCase {
    QVector<double> meter;
    uint limit;
    bool noMeter;
    QList<Spend> spends;
    QVector<double> available;
    double spent;
};
Q_DECLARE_METATYPE(HeadroomCase)

class TestPhaseHeadroom : public QObject
{
    Q_OBJECT

    SettingsSandbox m_dir;
    ThingManager *m_manager = nullptr;

private slots:
    void initTestCase()
    {
        m_dir.apply();
        m_manager = new ThingManager(this);
    }

    void spendAndAvailable_data()
    {
        QTest::addColumn<HeadroomCase>("c");
        const int a = Electricity::PhaseA;
        const int b = Electricity::PhaseB;
        const int all = Electricity::PhaseAll;
        const QVector<double> meter{10, 12, 5};
        QTest::newRow("nothing spent: each phase its own, a set its most loaded")
                << HeadroomCase{meter, 16, false, {}, {6, 4, 11, 4, 4}, 0};
        // A one-phase charger on phase B takes from B alone.
        QTest::newRow("one phase B spends B only")
                << HeadroomCase{meter, 16, false, {{b, 6}}, {6, -2, 11, -2, -2}, 1380};
        QTest::newRow("no phases given spends all three")
                << HeadroomCase{meter, 16, false, {{0, 2}}, {4, 2, 9, 2, 2}, 1380};
        QTest::newRow("coming down frees what going up took")
                << HeadroomCase{meter, 16, false, {{all, 5}, {a | b, -3}}, {4, 2, 6, 2, 2}, 1380 * 2.5 - 1380};
        QTest::newRow("a phase already over stays below 0")
                << HeadroomCase{{0, 30, 0}, 25, false, {}, {25, -5, 25, -5, -5}, 0};
        QTest::newRow("no limit: unlimited, spends still counted") << HeadroomCase{
                meter, 0, false, {{b, 6}}, {unlimited, unlimited, unlimited, unlimited, unlimited}, 1380};
        QTest::newRow("no meter: unlimited")
                << HeadroomCase{meter, 16, true, {}, {unlimited, unlimited, unlimited, unlimited, unlimited}, 0};
    }
    void spendAndAvailable()
    {
        QFETCH(HeadroomCase, c);
        Thing *thing = m_manager->addConfiguredThing(QStringLiteral("gridMeter"), QStringLiteral("Grid"));
        thing->setStateValue(QStringLiteral("currentPhaseA"), c.meter.at(0));
        thing->setStateValue(QStringLiteral("currentPhaseB"), c.meter.at(1));
        thing->setStateValue(QStringLiteral("currentPhaseC"), c.meter.at(2));
        RootMeter *meter = new RootMeter(thing); // dies with its thing
        PhaseHeadroom headroom(c.noMeter ? nullptr : meter, c.limit);
        QCOMPARE(headroom.limited(), !c.noMeter && c.limit > 0);
        for (const Spend &spend : qAsConst(c.spends))
            headroom.spend(Electricity::Phases(spend.first), spend.second);

        const Electricity::Phases sets[] = {Electricity::PhaseA, Electricity::PhaseB, Electricity::PhaseC,
                                            Electricity::PhaseA | Electricity::PhaseB, Electricity::PhaseNone};
        QVector<double> available;
        for (Electricity::Phases set : sets)
            available << headroom.available(set);
        QCOMPARE(available, c.available);
        QCOMPARE(headroom.spentPower(), c.spent);
        m_manager->removeConfiguredThing(thing->id());
    }

    void defaultIsUnlimited()
    {
        PhaseHeadroom headroom;
        QVERIFY(!headroom.limited());
        QCOMPARE(headroom.available(Electricity::PhaseB), unlimited);
    }
};

QTEST_GUILESS_MAIN(TestPhaseHeadroom)
#include "tst_phaseheadroom.moc"
