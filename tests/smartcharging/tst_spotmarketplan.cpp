#include "householdfixture.h"

#include "tavro/thing.h"

#include <QSignalSpy>
#include <QtTest>

using Access = CycleProbe;

namespace {

const QDate today(2026, 1, 5);

QDateTime at(int hour, int minute, int second = 0, int dayOffset = 0)
{
    return QDateTime(today.addDays(dayOffset), QTime(hour, minute, second));
}

// Cheap hour starting at the given time, split into slots of slotMinutes
// whose prices rise slightly so the order of the best slots is fixed.
QHash<QDateTime, double> cheapHour(const QDateTime &start, int slotMinutes, double price = 1.0)
{
    QHash<QDateTime, double> cheap;
    for (int m = 0; m < 60; m += slotMinutes)
        cheap.insert(start.addSecs(m * 60), price + m / 150.0);
    return cheap;
}

qint64 plannedMinutes(const ChargingSchedules &schedules)
{
    qint64 minutes = 0;
    for (const ChargingSchedule &schedule :
         schedules.filterByIssuer(ChargingAction::ChargingActionIssuerSpotMarketCharging))
        minutes += schedule.durationMinutes();
    return minutes;
}

QStringList frames(const ChargingSchedules &schedules, ChargingAction::ChargingActionIssuer issuer)
{
    QStringList result;
    for (const ChargingSchedule &schedule : schedules.filterByIssuer(issuer))
        result << schedule.startDateTime().toString(QStringLiteral("hh:mm:ss")) + QLatin1Char('-')
                          + schedule.endDateTime().toString(QStringLiteral("hh:mm:ss"));
    return result;
}

ChargingSchedule schedule(const ThingId &id, const QDateTime &start, int minutes,
                          ChargingAction::ChargingActionIssuer issuer)
{
    ChargingSchedule s(id, TimeFrame(start, start.addSecs(minutes * 60)));
    s.setAction(ChargingAction(true, 16, 3, issuer, false));
    return s;
}

const auto Spot = ChargingAction::ChargingActionIssuerSpotMarketCharging;
const auto Surplus = ChargingAction::ChargingActionIssuerSurplusCharging;

// One charger with a car, a prepared process info (50 kWh, 5 h full charge,
// 16 A on 3 phases) and, unless told otherwise, the test market enabled.
struct Household {
    explicit Household(bool enableMarket = true)
    {
        chargerThing = fixture.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Wallbox"));
        car = fixture.addThing(QStringLiteral("electricVehicle"), QStringLiteral("Car"));
        manager = fixture.createManager();
        provider = fixture.addMarket(enableMarket);

        ChargingConfiguration configuration = this->configuration();
        configuration.setEvChargerId(chargerThing->id());
        configuration.setAssignedCarId(car->id());
        configuration.setChargingMode(ChargingConfiguration::ChargingModeEco);
        configuration.setDailySpotMarketPercentage(20);
        setConfiguration(configuration);

        ChargingProcessInfo &info = this->info();
        info.capacityKwh = 50;
        info.fullChargingHours = 5;
        info.maxChargingCurrent = 16;
        info.maxPhaseCount = info.carPhaseCount = 3;
        info.dailySpotMarketPercentage = 20;
        info.dailySpotMarketEnergy = 10;
        info.dailySpotMarketRequired = true;
    }
    void addSchedule(const QDateTime &start, int minutes, ChargingAction::ChargingActionIssuer issuer)
    {
        Access::schedules(manager, chargerThing).append(schedule(chargerThing->id(), start, minutes, issuer));
    }
    ChargingProcessInfo &info() { return Access::info(manager, chargerThing); }
    ChargingConfiguration configuration() const { return manager->chargingConfiguration(chargerThing->id()); }
    void setConfiguration(const ChargingConfiguration &configuration)
    {
        Access::storeConfiguration(manager, configuration);
    }
    void setChargingMode(ChargingConfiguration::ChargingMode mode)
    {
        ChargingConfiguration configuration = this->configuration();
        configuration.setChargingMode(mode);
        setConfiguration(configuration);
    }
    void plan(const QDateTime &now) { Access::planSpotMarket(manager, now); }

    HouseholdFixture fixture{at(12, 0, 30)};
    Thing *chargerThing = nullptr;
    Thing *car = nullptr;
    SmartChargingManager *manager = nullptr;
    TestMarketProvider *provider = nullptr;
};

} // namespace

struct DailyCase {
    int slotMinutes;
    double dailyEnergy;
    double carTotal;
    QStringList expectedFrames;
    double chargedEnergyToday;
    double lastTotal;
};
Q_DECLARE_METATYPE(DailyCase)

struct BeyondCase {
    int hoursAhead;
    int remainingPercentage;
    double dailyEnergy;
    double dailyPercentage;
};
Q_DECLARE_METATYPE(BeyondCase)

struct TargetCase {
    int slotMinutes;
    double remainingHours;
    QStringList expectedFrames;
    bool untilTargetTime;
    QTime end = QTime(18, 0);
    uint missingMinutes = 0;
};
Q_DECLARE_METATYPE(TargetCase)

// The sun expected between two times of today (hours), at power W.
struct SunCase {
    bool dailyShare; // else a target at 18:00 with 2 h to charge
    int sunFrom, sunTo;
    double sunPower;
    double recorded; // derating of the record, -1 none
    qint64 plannedMinutes;
    uint sunMinutes;
    uint phasePowerLimit = 0; // A; under one the bought minutes carry a reserve
};
Q_DECLARE_METATYPE(SunCase)

struct LeaveCase {
    int mode;
    bool targetReached;
    bool prepared;
    QStringList remainingSurplus;
};
Q_DECLARE_METATYPE(LeaveCase)

class TestSpotMarketPlan : public QObject
{
    Q_OBJECT

private slots:
    void marketOffOrUnavailable_data();
    void marketOffOrUnavailable();
    void dayChangeResetsChargedEnergy();
    void dailyPlan_data();
    void dailyPlan();
    void targetTimeBeyondPrices_data();
    void targetTimeBeyondPrices();
    void knownSlotsTowardsTarget_data();
    void knownSlotsTowardsTarget();
    void targetPlan_data();
    void targetPlan();
    void sunNotBought_data();
    void sunNotBought();
    void reserveComesLast_data();
    void reserveComesLast();
    void chargerLeavesPlanning_data();
    void chargerLeavesPlanning();
    void activation_data();
    void activation();
    void runningChargeKeepsGoing_data();
    void runningChargeKeepsGoing();
};

void TestSpotMarketPlan::marketOffOrUnavailable_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("hadSpotSchedule");
    QTest::addColumn<int>("expectedSignals");

    QTest::newRow("disabled keeps everything") << false << true << 0;
    QTest::newRow("unavailable drops spot schedules") << true << true << 1;
    QTest::newRow("unavailable, other issuers only") << true << false << 0;
}

void TestSpotMarketPlan::marketOffOrUnavailable()
{
    QFETCH(bool, enabled);
    QFETCH(bool, hadSpotSchedule);
    QFETCH(int, expectedSignals);

    Household house(enabled);
    house.provider->setAvailable(false);
    if (hadSpotSchedule)
        house.addSchedule(at(12, 0), 60, Spot);
    house.addSchedule(at(17, 0), 60, Surplus);
    house.info().spotMarketUntilTargetTime = true;
    QSignalSpy spy(house.manager, &SmartChargingManager::chargingSchedulesChanged);

    house.plan(at(12, 0, 30));

    QCOMPARE(spy.count(), expectedSignals);
    const QStringList kept = enabled || !hadSpotSchedule ? QStringList() : QStringList{"12:00:00-13:00:00"};
    QCOMPARE(frames(house.manager->chargingSchedules(), Spot), kept);
    QCOMPARE(frames(house.manager->chargingSchedules(), Surplus), QStringList{"17:00:00-18:00:00"});
    QCOMPARE(house.info().spotMarketUntilTargetTime, !enabled);
    // Nothing is armed while the market is off, even inside a schedule.
    QCOMPARE(Access::action(house.manager, house.chargerThing, Spot).chargingEnabled(), false);
}

void TestSpotMarketPlan::dayChangeResetsChargedEnergy()
{
    Household house;
    // Eco mode without daily share: only the day change touches the counter.
    ChargingConfiguration configuration = house.configuration();
    configuration.setDailySpotMarketPercentage(0);
    house.setConfiguration(configuration);
    house.info().chargedEnergyToday = 3.0;
    house.plan(at(23, 0));
    house.plan(at(23, 59, 59));
    QCOMPARE(house.info().chargedEnergyToday, 3.0);

    house.plan(at(0, 0, 30, 1));
    QCOMPARE(house.info().chargedEnergyToday, 0.0);
}

void TestSpotMarketPlan::dailyPlan_data()
{
    QTest::addColumn<DailyCase>("row");

    // 4 kWh charged of 10 kWh, base reading 100 kWh: 6 kWh * 5 h / 50 kWh = 36 min.
    QTest::newRow("hourly slots, 6 kWh left")
            << DailyCase{60, 10.0, 100.0, QStringList{"15:00:00-15:36:00"}, 4.0, 100.0};
    QTest::newRow("quarter-hour slots, 6 kWh left")
            << DailyCase{15, 10.0, 100.0, QStringList{"15:00:00-15:36:00"}, 4.0, 100.0};
    QTest::newRow("counter advanced 2 kWh") << DailyCase{60, 10.0, 102.0, QStringList{"15:00:00-15:24:00"}, 6.0, 102.0};
    QTest::newRow("counter reaches daily energy") << DailyCase{60, 10.0, 106.0, QStringList(), 10.0, 106.0};
    QTest::newRow("counter went back: new base only")
            << DailyCase{60, 10.0, 40.0, QStringList{"15:00:00-15:36:00"}, 4.0, 40.0};
    QTest::newRow("daily share lowered below charged") << DailyCase{60, 3.0, 100.0, QStringList(), 4.0, 100.0};
}

void TestSpotMarketPlan::dailyPlan()
{
    QFETCH(DailyCase, row);
    const auto &[slotMinutes, dailyEnergy, carTotal, expectedFrames, chargedEnergyToday, lastTotal] = row;

    Household house;
    house.provider->setEntries(TestMarketProvider::priceSlots(at(0, 0), 24 * 60 / slotMinutes, slotMinutes,
                                                              cheapHour(at(15, 0), slotMinutes)));
    ChargingProcessInfo &info = house.info();
    info.dailySpotMarketEnergy = dailyEnergy;
    info.chargedEnergyToday = 4.0;
    info.lastTotalEnergyCharged = 100.0;
    Access::setDeliveredEnergy(house.manager, house.chargerThing, carTotal);
    house.addSchedule(at(18, 0), 60, Spot);
    house.addSchedule(at(20, 0), 60, Surplus);
    QSignalSpy spy(house.manager, &SmartChargingManager::chargingSchedulesChanged);

    house.plan(at(12, 0, 30));

    QCOMPARE(spy.count(), 1);
    const ChargingSchedules schedules = house.manager->chargingSchedules();
    QCOMPARE(frames(schedules, Spot), expectedFrames);
    QCOMPARE(frames(schedules, Surplus), QStringList{"20:00:00-21:00:00"});
    QCOMPARE(house.info().chargedEnergyToday, chargedEnergyToday);
    QCOMPARE(house.info().lastTotalEnergyCharged, lastTotal);
}

void TestSpotMarketPlan::targetTimeBeyondPrices_data()
{
    QTest::addColumn<BeyondCase>("row");

    // max(60 % * 0.5, 10 %) of 50 kWh.
    QTest::newRow("20 h ahead, predictable share") << BeyondCase{20, 60, 15.0, 30.0};
    QTest::newRow("20 h ahead, daily share larger") << BeyondCase{20, 10, 5.0, 10.0};
    QTest::newRow("40 h ahead, daily share only") << BeyondCase{40, 60, 5.0, 10.0};
}

void TestSpotMarketPlan::targetTimeBeyondPrices()
{
    QFETCH(BeyondCase, row);
    const auto &[hoursAhead, remainingPercentage, dailyEnergy, dailyPercentage] = row;

    Household house;
    // Prices for the next 10 hours only.
    house.provider->setEntries(TestMarketProvider::priceSlots(at(12, 0), 10, 60, cheapHour(at(14, 0), 60)));
    ChargingConfiguration configuration = house.configuration();
    configuration.setChargingMode(ChargingConfiguration::ChargingModeEcoWithTargetTime);
    configuration.setEndDateTime(at(12, 0, 30).addSecs(hoursAhead * 3600));
    configuration.setDailySpotMarketPercentage(10);
    house.setConfiguration(configuration);
    ChargingProcessInfo &info = house.info();
    info.remainingPercentage = remainingPercentage;
    info.dailySpotMarketPercentage = 10;
    info.dailySpotMarketEnergy = 5;
    info.spotMarketUntilTargetTime = true;

    house.plan(at(12, 0, 30));

    QCOMPARE(info.dailySpotMarketEnergy, dailyEnergy);
    QCOMPARE(info.dailySpotMarketPercentage, dailyPercentage);
    QCOMPARE(info.dailySpotMarketRequired, true);
    QCOMPARE(info.spotMarketUntilTargetTime, false);
    // The daily plan follows with today's prices: dailyEnergy * 5 h / 50 kWh.
    QCOMPARE(plannedMinutes(house.manager->chargingSchedules()), qint64(qRound(dailyEnergy * 6)));
}

void TestSpotMarketPlan::knownSlotsTowardsTarget_data()
{
    QTest::addColumn<double>("nightPrice"); // 00:00 to 07:00 today
    QTest::addColumn<double>("dipPrice");   // 14:00 today; the other hours 100
    QTest::addColumn<bool>("wholeDay");     // today's prices, else 12:00 to 22:00 only
    QTest::addColumn<QStringList>("expectedFrames");
    QTest::addColumn<bool>("share");

    // Target 07:00 tomorrow, one hour to charge, tomorrow's prices unknown.
    QTest::newRow("a known dip below the night before: taken now")
            << 50.0 << 1.0 << true << QStringList{"14:00:00-15:00:00"} << false;
    QTest::newRow("the night before cheaper: the known slots wait") << 1.0 << 50.0 << true << QStringList() << false;
    // Half the energy today, as before.
    QTest::newRow("the day before short of the target: a share today")
            << 50.0 << 1.0 << false << QStringList{"14:00:00-14:30:00"} << true;
}

void TestSpotMarketPlan::knownSlotsTowardsTarget()
{
    QFETCH(double, nightPrice);
    QFETCH(double, dipPrice);
    QFETCH(bool, wholeDay);
    QFETCH(QStringList, expectedFrames);
    QFETCH(bool, share);

    Household house;
    QHash<QDateTime, double> prices;
    for (int hour = 0; hour < 24; hour++)
        prices.insert(at(hour, 0), hour < 7 ? nightPrice : hour == 14 ? dipPrice : 100.0);
    const QDateTime first = wholeDay ? at(0, 0) : at(12, 0);
    house.provider->setEntries(TestMarketProvider::priceSlots(first, wholeDay ? 24 : 10, 60, prices));
    ChargingConfiguration configuration = house.configuration();
    configuration.setChargingMode(ChargingConfiguration::ChargingModeEcoWithTargetTime);
    configuration.setEndDateTime(at(7, 0, 0, 1));
    configuration.setDailySpotMarketPercentage(0);
    house.setConfiguration(configuration);
    ChargingProcessInfo &info = house.info();
    info.remainingPercentage = 20;
    info.remainingChargingHours = 1.0;
    info.dailySpotMarketPercentage = 0;
    info.dailySpotMarketEnergy = 0;
    info.dailySpotMarketRequired = false;

    house.plan(at(12, 0, 30));

    QCOMPARE(frames(house.manager->chargingSchedules(), Spot), expectedFrames);
    // Never a plan up to the target: the deadline check stays on.
    QCOMPARE(info.spotMarketUntilTargetTime, false);
    QCOMPARE(info.dailySpotMarketRequired, share);
}

void TestSpotMarketPlan::targetPlan_data()
{
    QTest::addColumn<TargetCase>("row");

    // The cheapest hour (19:00) lies after the 18:00 target and is not used.
    QTest::newRow("hourly slots") << TargetCase{60, 1.0, QStringList{"14:00:00-15:00:00"}, true};
    QTest::newRow("quarter-hour slots") << TargetCase{15, 1.0, QStringList{"14:00:00-15:00:00"}, true};
    QTest::newRow("minutes rounded up") << TargetCase{60, 0.501, QStringList{"14:00:00-14:31:00"}, true};
    QTest::newRow("nothing left to charge") << TargetCase{60, 0.0, QStringList(), false};
    // The cheapest hour runs at the target: its first half counts.
    QTest::newRow("target inside the cheapest hour")
            << TargetCase{60, 0.5, QStringList{"19:00:00-19:30:00"}, true, QTime(19, 30)};
    // Two hours wanted, 59 minutes left: the plan says what it could not place.
    QTest::newRow("more minutes than slots before the target")
            << TargetCase{60, 2.0, QStringList{"12:00:30-13:00:00"}, true, QTime(13, 0), 61};
}

void TestSpotMarketPlan::targetPlan()
{
    QFETCH(TargetCase, row);
    const auto &[slotMinutes, remainingHours, expectedFrames, untilTargetTime, end, missingMinutes] = row;

    Household house;
    QHash<QDateTime, double> cheap = cheapHour(at(14, 0), slotMinutes, 2.0);
    cheap.insert(cheapHour(at(19, 0), slotMinutes, 1.0));
    house.provider->setEntries(TestMarketProvider::priceSlots(at(0, 0), 24 * 60 / slotMinutes, slotMinutes, cheap));
    ChargingConfiguration configuration = house.configuration();
    configuration.setChargingMode(ChargingConfiguration::ChargingModeEcoWithTargetTime);
    configuration.setEndDateTime(at(end.hour(), end.minute()));
    house.setConfiguration(configuration);
    house.info().remainingChargingHours = remainingHours;
    house.info().dailySpotMarketRequired = false;
    house.addSchedule(at(9, 0), 60, Spot); // an outdated plan
    QSignalSpy spy(house.manager, &SmartChargingManager::chargingSchedulesChanged);

    house.plan(at(12, 0, 30));
    QCOMPARE(frames(house.manager->chargingSchedules(), Spot), expectedFrames);
    QCOMPARE(house.info().spotMarketUntilTargetTime, untilTargetTime);
    QCOMPARE(house.info().spotMarketMissingMinutes, missingMinutes);
    QCOMPARE(spy.count(), 1);

    // The same plan a minute later is not stored or announced again (a plan
    // taking every minute left moves along with the time).
    if (missingMinutes > 0)
        return;
    house.plan(at(12, 1, 30));
    QCOMPARE(frames(house.manager->chargingSchedules(), Spot), expectedFrames);
    QCOMPARE(spy.count(), 1);
}

void TestSpotMarketPlan::sunNotBought_data()
{
    QTest::addColumn<SunCase>("row");

    // 16 A on 3 phases: 11040 W at the charger; an empty house.
    QTest::newRow("target: no forecast") << SunCase{false, 0, 0, 0, 1.0, 120, 0};
    QTest::newRow("target: an hour of sun") << SunCase{false, 16, 17, 11040, 1.0, 60, 60};
    QTest::newRow("target: the record halves it") << SunCase{false, 16, 17, 11040, 0.5, 90, 30};
    QTest::newRow("target: at most the charger's power") << SunCase{false, 16, 17, 22080, 1.0, 60, 60};
    QTest::newRow("target: the sun after the target") << SunCase{false, 18, 20, 11040, 1.0, 120, 0};
    QTest::newRow("target: the sun gives it all") << SunCase{false, 13, 17, 11040, 1.0, 0, 120};
    // Half the charger's power in the cheapest hour: 30 minutes' worth of
    // sun, but a slot at full power there takes it in as well.
    QTest::newRow("target: sun in a bought hour is no more counted beside it")
            << SunCase{false, 14, 15, 5520, 1.0, 120, 30};
    // 2 h plus the 15 % reserve is 138 min; the sun's hour needs no reserve.
    QTest::newRow("target under a fuse: no forecast") << SunCase{false, 0, 0, 0, 1.0, 138, 0, 25};
    QTest::newRow("target under a fuse: reserve on the bought hour only")
            << SunCase{false, 16, 17, 11040, 1.0, 69, 60, 25};
    // 6 kWh of the daily share left: 36 minutes; the share's day ends at midnight.
    QTest::newRow("daily share: no forecast") << SunCase{true, 0, 0, 0, 1.0, 36, 0};
    QTest::newRow("daily share: 20 minutes of sun") << SunCase{true, 20, 21, 11040 / 3.0, 1.0, 16, 0};
    QTest::newRow("daily share: no record yet") << SunCase{true, 20, 21, 11040 / 3.0 / 0.7, -1, 16, 0};
    QTest::newRow("daily share: the sun gives it all") << SunCase{true, 13, 17, 11040, 1.0, 0, 0};
}

void TestSpotMarketPlan::sunNotBought()
{
    QFETCH(SunCase, row);
    const auto &[dailyShare, sunFrom, sunTo, sunPower, recorded, expectedMinutes, sunMinutes, limit] = row;

    Household house;
    house.manager->setPhasePowerLimit(limit);
    QHash<QDateTime, double> cheap = cheapHour(at(14, 0), 60, 2.0);
    cheap.insert(cheapHour(at(15, 0), 60, 3.0));
    house.provider->setEntries(TestMarketProvider::priceSlots(at(0, 0), 48, 60, cheap));
    if (!dailyShare) {
        house.setChargingMode(ChargingConfiguration::ChargingModeEcoWithTargetTime);
        ChargingConfiguration configuration = house.configuration();
        configuration.setEndDateTime(at(18, 0));
        house.setConfiguration(configuration);
    }
    ChargingProcessInfo &info = house.info();
    info.remainingChargingHours = 2.0;
    info.remainingPercentage = 40;
    info.phaseLimitPower = 16 * 230;
    info.dailySpotMarketRequired = dailyShare;
    info.chargedEnergyToday = 4.0;
    info.lastTotalEnergyCharged = 100.0;
    Access::setDeliveredEnergy(house.manager, house.chargerThing, 100.0);

    SolarCoverage &sun = house.manager->steps().context.sun;
    sun.addSample(at(11, 59), 0, 0);
    SolarForecastSlots forecast;
    for (QDateTime start = at(sunFrom, 0); start < at(sunTo, 0); start = start.addSecs(15 * 60))
        forecast.append(SolarForecastSlot(start, start.addSecs(15 * 60), sunPower / 4));
    sun.setForecast(forecast, recorded);

    house.plan(at(12, 0, 30));

    QCOMPARE(plannedMinutes(house.manager->chargingSchedules()), expectedMinutes);
    if (!dailyShare) {
        QCOMPARE(house.info().spotMarketSunMinutes, sunMinutes);
        QCOMPARE(house.info().spotMarketUntilTargetTime, expectedMinutes > 0);
    }
}

void TestSpotMarketPlan::reserveComesLast_data()
{
    QTest::addColumn<int>("cheapFrom");     // two cheap hours (price 1) from this hour
    QTest::addColumn<double>("beforePrice"); // the hour before them; the others 10
    QTest::addColumn<double>("afterPrice");  // the hour after them
    QTest::addColumn<QStringList>("expectedFrames");

    // Target 18:00 under a fuse: 2 h to charge and an 18-minute reserve.
    // A reserve before the cheap hours runs first and leaves their last
    // minutes unused (3 - 1 lost); after them it costs 1 more when needed.
    QTest::newRow("the hour after little dearer: the reserve after the cheap hours")
            << 14 << 3.0 << 4.0 << QStringList{"14:00:00-16:18:00"};
    // 5 - 3 more when needed is more than the 3 - 1 lost.
    QTest::newRow("the hour after much dearer: the reserve before them")
            << 14 << 3.0 << 5.5 << QStringList{"13:42:00-16:00:00"};
    // Nothing after the cheap hours before the target.
    QTest::newRow("the cheap hours end at the target: the reserve before them")
            << 16 << 3.0 << 3.0 << QStringList{"15:42:00-18:00:00"};
}

void TestSpotMarketPlan::reserveComesLast()
{
    QFETCH(int, cheapFrom);
    QFETCH(double, beforePrice);
    QFETCH(double, afterPrice);
    QFETCH(QStringList, expectedFrames);

    Household house;
    house.manager->setPhasePowerLimit(25);
    QHash<QDateTime, double> prices = cheapHour(at(cheapFrom, 0), 60, 1.0);
    prices.insert(cheapHour(at(cheapFrom + 1, 0), 60, 1.0));
    prices.insert(at(cheapFrom - 1, 0), beforePrice);
    prices.insert(at(cheapFrom + 2, 0), afterPrice);
    house.provider->setEntries(TestMarketProvider::priceSlots(at(0, 0), 48, 60, prices));
    ChargingConfiguration configuration = house.configuration();
    configuration.setChargingMode(ChargingConfiguration::ChargingModeEcoWithTargetTime);
    configuration.setEndDateTime(at(18, 0));
    house.setConfiguration(configuration);
    ChargingProcessInfo &info = house.info();
    info.remainingChargingHours = 2.0;
    info.remainingPercentage = 40;
    info.dailySpotMarketRequired = false;

    house.plan(at(12, 0, 30));

    QCOMPARE(frames(house.manager->chargingSchedules(), Spot), expectedFrames);
    // Every minute placed: the plan keeps the target by itself.
    QCOMPARE(info.spotMarketMissingMinutes, 0u);
    QCOMPARE(info.spotMarketUntilTargetTime, true);
}

void TestSpotMarketPlan::chargerLeavesPlanning_data()
{
    QTest::addColumn<LeaveCase>("row");

    QTest::newRow("manual mode") << LeaveCase{int(ChargingConfiguration::ChargingModeNormal), false, true,
                                              QStringList{"20:00:00-21:00:00"}};
    QTest::newRow("target reached drops every issuer")
            << LeaveCase{int(ChargingConfiguration::ChargingModeEco), true, true, QStringList()};
    QTest::newRow("no process info") << LeaveCase{int(ChargingConfiguration::ChargingModeEco), false, false,
                                                  QStringList()};
}

void TestSpotMarketPlan::chargerLeavesPlanning()
{
    QFETCH(LeaveCase, row);
    const auto &[mode, targetReached, prepared, remainingSurplus] = row;

    Household house;
    house.provider->setEntries(TestMarketProvider::priceSlots(at(0, 0), 24, 60, cheapHour(at(15, 0), 60)));
    house.setChargingMode(ChargingConfiguration::ChargingMode(mode));
    ChargingState state = house.manager->chargingState(house.chargerThing->id());
    state.setTargetPercentageReached(targetReached);
    state.setTargetTimeOvershot(600);
    Access::commitState(house.manager, state);
    house.addSchedule(at(15, 0), 60, Spot);
    house.addSchedule(at(20, 0), 60, Surplus);
    Access::setDeliveredEnergy(house.manager, house.chargerThing, 42.0);
    if (prepared) {
        house.info().chargingSchedule = schedule(house.chargerThing->id(), at(15, 0), 60, Spot);
    } else {
        Access::dropInfo(house.manager, house.chargerThing);
    }
    QSignalSpy spy(house.manager, &SmartChargingManager::chargingSchedulesChanged);

    house.plan(at(12, 0, 30));

    QCOMPARE(spy.count(), 1);
    QCOMPARE(frames(house.manager->chargingSchedules(), Spot), QStringList());
    QCOMPARE(frames(house.manager->chargingSchedules(), Surplus), remainingSurplus);
    if (prepared) {
        // Energy charged outside the daily plan does not count later.
        QCOMPARE(house.info().lastTotalEnergyCharged, 42.0);
        QCOMPARE(house.info().chargedEnergyToday, 0.0);
        QCOMPARE(house.info().chargingSchedule.isValid(), !targetReached);
    }
    if (mode == ChargingConfiguration::ChargingModeNormal)
        QCOMPARE(house.manager->chargingState(house.chargerThing->id()).targetTimeOvershot(), 0);
}

void TestSpotMarketPlan::activation_data()
{
    QTest::addColumn<QDateTime>("cheapHourStart");
    QTest::addColumn<bool>("armed");

    QTest::newRow("cheapest hour is running") << at(12, 0) << true;
    QTest::newRow("cheapest hour later today") << at(15, 0) << false;
}

void TestSpotMarketPlan::activation()
{
    QFETCH(QDateTime, cheapHourStart);
    QFETCH(bool, armed);

    Household house;
    house.provider->setEntries(TestMarketProvider::priceSlots(at(0, 0), 24, 60, cheapHour(cheapHourStart, 60)));
    house.info().chargedEnergyToday = 4.0;

    house.plan(at(12, 0, 30));

    const ChargingAction action = Access::action(house.manager, house.chargerThing, Spot);
    QCOMPARE(action.chargingEnabled(), armed);
    const ChargingState::WaitingReason reason = house.manager->chargingState(house.chargerThing->id()).waitingReason();
    QCOMPARE(reason == ChargingState::WaitingReasonSpotMarketWindow, !armed);
    if (armed) {
        QCOMPARE(action.issuer(), Spot);
        QCOMPARE(action.maxChargingCurrent(), 16.0);
        QCOMPARE(action.desiredPhaseCount(), 3u);
        QCOMPARE(house.info().chargingSchedule.startDateTime(), at(12, 0, 30));
        QCOMPARE(house.info().chargingSchedule.endDateTime(), at(12, 36, 30));
    }
}

void TestSpotMarketPlan::runningChargeKeepsGoing_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("charging");
    QTest::addColumn<bool>("armed");
    QTest::newRow("charging in a planned slot") << int(ChargingState::ModeSpotMarketCharging) << true << true;
    QTest::newRow("charging for the deadline") << int(ChargingState::ModeTimeRequirement) << true << true;
    QTest::newRow("not charging: waits for the slot") << int(ChargingState::ModeSpotMarketCharging) << false << false;
}

void TestSpotMarketPlan::runningChargeKeepsGoing()
{
    QFETCH(int, mode);
    QFETCH(bool, charging);
    QFETCH(bool, armed);

    // The best hour starts at 12:15; at 12:07 a car charging from the grid
    // goes on instead of pausing for eight minutes.
    Household house;
    house.provider->setEntries(TestMarketProvider::priceSlots(at(0, 0), 96, 15, cheapHour(at(12, 15), 15)));
    ChargingConfiguration configuration = house.configuration();
    configuration.setChargingMode(ChargingConfiguration::ChargingModeEcoWithTargetTime);
    configuration.setEndDateTime(at(18, 0));
    house.setConfiguration(configuration);
    house.info().remainingChargingHours = 1.0;
    house.info().dailySpotMarketRequired = false;
    ChargingState state = house.manager->chargingState(house.chargerThing->id());
    state.setMode(ChargingState::Mode(mode));
    Access::commitState(house.manager, state);
    HouseholdFixture::setStates(house.chargerThing, {{"power", charging}, {"charging", charging}, {"pluggedIn", true}});

    house.plan(at(12, 7, 30));

    QCOMPARE(Access::action(house.manager, house.chargerThing, Spot).chargingEnabled(), armed);
    QCOMPARE(frames(house.manager->chargingSchedules(), Spot),
             QStringList{armed ? "12:07:30-13:07:30" : "12:15:00-13:15:00"});
}

QTEST_GUILESS_MAIN(TestSpotMarketPlan)
#include "tst_spotmarketplan.moc"
