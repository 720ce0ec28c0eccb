#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "forecast/forecastsolarreply.h"

#include <ctime>

// The estimate service's reply read into periods: the documented shape, the
// site's local time across clock changes, and every way a reply is refused.
class TestForecastSolarReply : public QObject
{
    Q_OBJECT

private slots:
    void periods_data();
    void periods();
    void refused_data();
    void refused();
    void messageOfEveryReply_data();
    void messageOfEveryReply();
};

namespace {

QJsonObject message(const QString &zone)
{
    QJsonObject info{{"latitude", 52.52}, {"longitude", 13.4}, {"place", "Berlin"}};
    if (!zone.isEmpty())
        info.insert("timezone", zone);
    return QJsonObject{{"code", 0},
                       {"type", "success"},
                       {"text", ""},
                       {"info", info},
                       {"ratelimit", QJsonObject{{"period", 3600}, {"limit", 12}, {"remaining", 10}}}};
}

QByteArray reply(const QJsonObject &result, const QString &zone = "Europe/Berlin")
{
    return QJsonDocument(QJsonObject{{"result", result}, {"message", message(zone)}}).toJson();
}

QJsonObject energy(const QJsonObject &periods)
{
    return QJsonObject{{"watt_hours_period", periods}};
}

// "start/end=Wh", UTC.
QStringList describe(const SolarForecastSlots &periods)
{
    QStringList lines;
    for (const SolarForecastSlot &period : periods) {
        lines.append(period.startDateTime().toUTC().toString("yyyy-MM-dd hh:mm") + "/"
                     + period.endDateTime().toUTC().toString("hh:mm") + "=" + QString::number(period.energy()));
    }
    return lines;
}

// Runs with this process in another zone; back afterwards.
class ZoneScope
{
public:
    explicit ZoneScope(const QByteArray &zone)
        : m_previous(qgetenv("TZ")),
          m_set(!zone.isEmpty())
    {
        if (m_set) {
            qputenv("TZ", zone);
            tzset();
        }
    }
    ~ZoneScope()
    {
        if (!m_set)
            return;
        if (m_previous.isEmpty())
            qunsetenv("TZ");
        else
            qputenv("TZ", m_previous);
        tzset();
    }

private:
    QByteArray m_previous;
    bool m_set = false;
};

}

void TestForecastSolarReply::periods_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<double>("kwp");
    QTest::addColumn<QByteArray>("localZone"); // of this process; empty: as it runs
    QTest::addColumn<QStringList>("expected");

    // Berlin in June is UTC+2: sunrise 05:12, whole hours, sunset 21:30.
    const QJsonObject june{{"2026-06-15 05:12:00", 0},  {"2026-06-15 06:00:00", 150}, {"2026-06-15 07:00:00", 700},
                           {"2026-06-15 21:30:00", 40}, {"2026-06-16 05:13:00", 0},   {"2026-06-16 06:00:00", 160}};
    const QStringList juneExpected{"2026-06-15 03:12/04:00=150", "2026-06-15 04:00/05:00=700",
                                   "2026-06-15 05:00/19:30=40", "2026-06-16 03:13/04:00=160"};
    QTest::newRow("documented: a day is never bridged to the next")
            << reply(energy(june)) << 5.0 << QByteArray() << juneExpected;
    QTest::newRow("the named zone, not this system's")
            << reply(energy(june)) << 5.0 << QByteArray("Asia/Kolkata") << juneExpected;
    QTest::newRow("no zone named: this system's local time")
            << reply(energy(june), "") << 5.0 << QByteArray("Asia/Kolkata")
            << QStringList{"2026-06-14 23:42/00:30=150", "2026-06-15 00:30/01:30=700", "2026-06-15 01:30/16:00=40",
                           "2026-06-15 23:43/00:30=160"};
    QTest::newRow("a zone unknown here: this system's local time")
            << reply(energy({{"2026-06-15 06:00:00", 0}, {"2026-06-15 07:00:00", 700}}), "Mars/Olympia") << 5.0
            << QByteArray("UTC0") << QStringList{"2026-06-15 06:00/07:00=700"};

    const QJsonObject watts{{"2026-06-15 05:12:00", 0}, {"2026-06-15 06:00:00", 400}, {"2026-06-15 07:00:00", 1000}};
    QTest::newRow("watts only: the mean of a period's ends")
            << reply({{"watts", watts}}) << 5.0 << QByteArray()
            << QStringList{"2026-06-15 03:12/04:00=160", "2026-06-15 04:00/05:00=700"};
    QTest::newRow("watt_hours_period wins over watts")
            << reply({{"watts", watts},
                      {"watt_hours_period", QJsonObject{{"2026-06-15 05:12:00", 0},
                                                        {"2026-06-15 06:00:00", 90},
                                                        {"2026-06-15 07:00:00", 650}}}})
            << 5.0 << QByteArray() << QStringList{"2026-06-15 03:12/04:00=90", "2026-06-15 04:00/05:00=650"};
    QTest::newRow("a day opened with energy: the hour before")
            << reply(energy({{"2026-06-15 06:00:00", 300}, {"2026-06-15 07:00:00", 500}})) << 5.0 << QByteArray()
            << QStringList{"2026-06-15 03:00/04:00=300", "2026-06-15 04:00/05:00=500"};
    QTest::newRow("a day opened with energy: not before midnight")
            << reply(energy({{"2026-06-15 00:30:00", 10}})) << 5.0 << QByteArray()
            << QStringList{"2026-06-14 22:00/22:30=10"};
    // 01:00 CET, 02:30 does not exist, 03:00 CEST: one real hour.
    QTest::newRow("spring night: the skipped hour joins the next period")
            << reply(energy({{"2026-03-29 01:00:00", 0},
                             {"2026-03-29 02:30:00", 0},
                             {"2026-03-29 03:00:00", 0},
                             {"2026-03-29 08:00:00", 500},
                             {"2026-03-29 09:00:00", 1200}}))
            << 5.0 << QByteArray()
            << QStringList{"2026-03-29 00:00/01:00=0", "2026-03-29 01:00/06:00=500", "2026-03-29 06:00/07:00=1200"};
    // 01:00 CEST to 03:00 CET are three real hours, however the repeated
    // 02:00 is read (here: as the one after the change).
    QTest::newRow("autumn night: the repeated hour")
            << reply(energy({{"2026-10-25 01:00:00", 0},
                             {"2026-10-25 02:00:00", 0},
                             {"2026-10-25 03:00:00", 0},
                             {"2026-10-25 09:00:00", 800}}))
            << 5.0 << QByteArray()
            << QStringList{"2026-10-24 23:00/01:00=0", "2026-10-25 01:00/02:00=0", "2026-10-25 02:00/08:00=800"};
    QTest::newRow("power of 1.5 × kWp is plausible")
            << reply({{"watts", QJsonObject{{"2026-06-15 12:00:00", 0}, {"2026-06-15 13:00:00", 3000}}}}) << 2.0
            << QByteArray() << QStringList{"2026-06-15 10:00/11:00=1500"};
}

void TestForecastSolarReply::periods()
{
    QFETCH(QByteArray, body);
    QFETCH(double, kwp);
    QFETCH(QByteArray, localZone);
    QFETCH(QStringList, expected);

    const ZoneScope zone(localZone);
    const ForecastSolarReply parsed = ForecastSolarReply::parse(body, kwp);
    QVERIFY2(parsed.isValid(), qPrintable(parsed.errorString()));
    QCOMPARE(describe(parsed.periods()), expected);
}

void TestForecastSolarReply::refused_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<double>("kwp");
    QTest::addColumn<QString>("error");

    const QJsonObject good{{"2026-06-15 06:00:00", 0}, {"2026-06-15 07:00:00", 700}};
    QTest::newRow("malformed JSON") << QByteArray(R"({"result": {"watts": {"2026-06-15 07:00:00": 7)") << 5.0
                                    << "invalid JSON";
    QTest::newRow("an array") << QByteArray("[1, 2]") << 5.0 << "no JSON object";
    QTest::newRow("an error reply") << QByteArray(
            R"({"result": null, "message": {"code": 429, "type": "error", "text": "Rate limit for API calls reached."}})")
                                    << 5.0 << "error 429: Rate limit for API calls reached.";
    QTest::newRow("no result") << QJsonDocument(QJsonObject{{"message", message("UTC")}}).toJson() << 5.0
                               << "no result";
    QTest::newRow("neither watts nor watt_hours_period")
            << reply({{"watt_hours", good}, {"watt_hours_day", QJsonObject{{"2026-06-15", 700}}}}) << 5.0
            << "neither watts nor watt_hours_period";
    QTest::newRow("a series that is no object")
            << reply({{"watt_hours_period", good}, {"watts", QJsonArray{1, 2}}}) << 5.0 << "watts is no object";
    QTest::newRow("no period in it") << reply(energy({{"2026-06-15 06:00:00", 0}, {"2026-06-16 06:00:00", 0}})) << 5.0
                                     << "no forecast period";
    QTest::newRow("ISO timestamp") << reply(energy({{"2026-06-15T07:00:00", 700}})) << 5.0 << "unreadable timestamp";
    QTest::newRow("hour 24") << reply(energy({{"2026-06-15 24:00:00", 0}})) << 5.0 << "unreadable timestamp";
    QTest::newRow("another century") << reply(energy({{"2126-06-15 07:00:00", 0}})) << 5.0 << "unreadable timestamp";
    QTest::newRow("value as text") << reply(energy({{"2026-06-15 07:00:00", "700"}})) << 5.0 << "implausible value";
    QTest::newRow("negative value") << reply(energy({{"2026-06-15 07:00:00", -1}})) << 5.0 << "implausible value";
    QTest::newRow("power above 1.5 × kWp")
            << reply({{"watts", QJsonObject{{"2026-06-15 12:00:00", 0}, {"2026-06-15 13:00:00", 3002}}}}) << 2.0
            << "watts: implausible value at 2026-06-15 13:00:00";
    QTest::newRow("an hour with more than 1.5 × kWp")
            << reply(energy({{"2026-06-15 06:00:00", 0}, {"2026-06-15 07:00:00", 3002}})) << 2.0
            << "implausible energy 3002 Wh in 1 h";
    QTest::newRow("a day with more than 24 h of 1.5 × kWp")
            << reply({{"watt_hours_period", good}, {"watt_hours_day", QJsonObject{{"2026-06-15", 180002}}}}) << 5.0
            << "watt_hours_day: implausible value";
    QTest::newRow("sun on a plane of 0 kWp") << reply(energy(good)) << 0.0 << "implausible value";
    QJsonObject many;
    for (int i = 0; i <= ForecastSolarReply::maximumEntries; i++)
        many.insert(QDateTime(QDate(2026, 6, 1), QTime(0, 0)).addSecs(i * 900).toString("yyyy-MM-dd hh:mm:ss"), 1);
    QTest::newRow("more entries than a week of quarter hours") << reply(energy(many)) << 5.0 << "1001 entries";
}

void TestForecastSolarReply::refused()
{
    QFETCH(QByteArray, body);
    QFETCH(double, kwp);
    QFETCH(QString, error);

    const ForecastSolarReply parsed = ForecastSolarReply::parse(body, kwp);
    QVERIFY(!parsed.isValid());
    QVERIFY2(parsed.errorString().contains(error), qPrintable(parsed.errorString()));
    QVERIFY(parsed.periods().isEmpty());
}

void TestForecastSolarReply::messageOfEveryReply_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QVariantList>("expected"); // code, type, zone, place, period, limit, remaining

    QTest::newRow("success") << reply(energy({{"2026-06-15 06:00:00", 0}, {"2026-06-15 07:00:00", 700}})) << true
                             << QVariantList{0, "success", "Europe/Berlin", "Berlin", 3600, 12, 10};
    QTest::newRow("rate limited") << QByteArray(R"({"result": null, "message": {"code": 429, "type": "error",
                                       "text": "Rate limit for API calls reached.",
                                       "ratelimit": {"period": 1800, "limit": 12, "remaining": 0}}})")
                                  << false << QVariantList{429, "error", "", "", 1800, 12, 0};
    QTest::newRow("rate limit of a year: a week") << QByteArray(R"({"result": null, "message": {"code": 429,
                                                       "ratelimit": {"period": 31536000, "remaining": -5}}})")
                                                  << false << QVariantList{429, "", "", "", 604800, -1, -1};
}

void TestForecastSolarReply::messageOfEveryReply()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, valid);
    QFETCH(QVariantList, expected);

    const ForecastSolarReply parsed = ForecastSolarReply::parse(body, 5.0);
    QCOMPARE(parsed.isValid(), valid);
    const QVariantList actual{
            parsed.messageCode(),      parsed.messageType(),     parsed.timeZone(),           parsed.place(),
            parsed.rateLimit().period, parsed.rateLimit().limit, parsed.rateLimit().remaining};
    QCOMPARE(actual, expected);
}

QTEST_GUILESS_MAIN(TestForecastSolarReply)
#include "tst_forecastsolarreply.moc"
