#include "settingssandbox.h"

#include "config/energysettings.h"
#include "config/settingschange.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSettings>
#include <QTimeZone>
#include <QUuid>
#include <QtTest>

// Changes written through SettingsChange read back in QSettings as the
// values that were set, and leave every other line of "energy.conf" as it
// was: Qt is the judge of both.

namespace {

QByteArray fileContent(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Compares what QSettings read with what was set, converted the way the
// plugin's readers convert (a list element by element, a locale by name).
bool readsBackAs(QVariant read, const QVariant &value, QString *why)
{
    *why = QStringLiteral("read %1 for %2").arg(read.toString(), value.toString());
    if (value.userType() == QMetaType::QLocale)
        return QLocale(read.toString()) == value.toLocale();
    if (value.userType() == QMetaType::QVariantList) {
        const QStringList strings =
                read.userType() == QMetaType::QString ? QStringList{read.toString()} : read.toStringList();
        const QVariantList list = value.toList();
        *why = QStringLiteral("read %1 for %2 elements").arg(strings.join(QLatin1Char('|'))).arg(list.count());
        if (strings.count() != list.count())
            return false;
        for (int i = 0; i < list.count(); i++) {
            if (strings.at(i) != list.at(i).toString())
                return false;
        }
        return true;
    }
    if (value.userType() == QMetaType::QDateTime && !value.toDateTime().isValid())
        return read.isValid() && !read.toDateTime().isValid();
    return read.convert(value.userType()) && read == value;
}

} // namespace

class TestSettingsChange : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void valuesReadBack_data();
    void valuesReadBack();
    void editsKeepTheRest_data();
    void editsKeepTheRest();
    void sameSizeChangesAreSeen();

private:
    QString fileName() const { return EnergySettings::settingsFileName(); }
    SettingsSandbox m_sandbox;
};

void TestSettingsChange::initTestCase()
{
    QVERIFY(m_sandbox.isValid());
    m_sandbox.apply();
}

void TestSettingsChange::init()
{
    m_sandbox.clear();
}

void TestSettingsChange::valuesReadBack_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");

    const QString charger = QStringLiteral("ChargingConfigurations/{5e771265-0000-4000-8000-000000000001}/");
    QTest::newRow("bool") << charger + "lockOnUnplug" << QVariant(true);
    QTest::newRow("negative int") << "phasePowerConsumptionLimit" << QVariant(-16);
    QTest::newRow("largest uint") << "phasePowerConsumptionLimit" << QVariant(4294967295u);
    QTest::newRow("double that needs 17 digits") << "acquisitionTolerance" << QVariant(0.1 + 0.2);
    QTest::newRow("tiny double") << "acquisitionTolerance" << QVariant(1e-300);
    QTest::newRow("text with ; , and =") << "SpotMarket/note" << QVariant(QStringLiteral("a;b,c=d"));
    QTest::newRow("text with spaces around") << "SpotMarket/note" << QVariant(QStringLiteral("  spaced  "));
    QTest::newRow("quote and backslash") << "SpotMarket/note" << QVariant(QStringLiteral("say \"hi\" \\ there"));
    QTest::newRow("text starting with @") << "SpotMarket/note" << QVariant(QStringLiteral("@Variant(not binary)"));
    QTest::newRow("control characters, a hex digit after one") << "SpotMarket/note"
                                                               << QVariant(QStringLiteral("tab\tline\nbell\x07"
                                                                                          "abc\x7f"
                                                                                          "F"));
    QTest::newRow("NUL before a digit") << "SpotMarket/note"
                                        << QVariant(QString::fromLatin1("a\0"
                                                                        "1b",
                                                                        4));
    QTest::newRow("empty text") << "SpotMarket/note" << QVariant(QStringLiteral(""));
    QTest::newRow("null text") << "SpotMarket/note" << QVariant(QString());
    QTest::newRow("beyond ASCII") << "SpotMarket/note" << QVariant(QStringLiteral("Ladestand ä € \U0001F600"));
    QTest::newRow("uuid") << charger + "assignedCarId" << QVariant(QUuid::createUuid());
    QTest::newRow("locale") << charger + "locale" << QVariant(QLocale(QLocale::German, QLocale::Austria));
    QTest::newRow("local date-time with ms")
            << charger + "endDateTime" << QVariant(QDateTime(QDate(2026, 11, 16), QTime(7, 0, 0, 123)));
    QTest::newRow("UTC date-time") << charger + "endDateTime"
                                   << QVariant(QDateTime(QDate(2026, 3, 29), QTime(1, 30), Qt::UTC));
    QTest::newRow("date-time at an offset")
            << charger + "endDateTime" << QVariant(QDateTime(QDate(2026, 6, 1), QTime(8, 0), Qt::OffsetFromUTC, 19800));
    QTest::newRow("no date-time") << charger + "endDateTime" << QVariant(QDateTime());
    QTest::newRow("three days") << charger + "repeatDays" << QVariant(QVariantList{1, 3, 5});
    QTest::newRow("one day") << charger + "repeatDays" << QVariant(QVariantList{7});
    QTest::newRow("no days") << charger + "repeatDays" << QVariant(QVariantList());
    QTest::newRow("key with space and umlaut") << "Odd Group/key \u00e4/b" << QVariant(1);
    QTest::newRow("group named General") << "General/x" << QVariant(2);
}

void TestSettingsChange::valuesReadBack()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);

    // Into a file that has the key already, and into one that has not.
    for (const bool existing : {false, true}) {
        if (existing) {
            QSettings settings(fileName(), QSettings::IniFormat);
            settings.setValue(key, QStringLiteral("old"));
            settings.setValue(QStringLiteral("other"), 5);
        }
        SettingsChange change;
        change.setValue(key, value);
        QString error;
        QVERIFY2(change.commit(&error), qPrintable(error));

        QSettings settings(fileName(), QSettings::IniFormat);
        QCOMPARE(settings.status(), QSettings::NoError);
        QString why;
        QVERIFY2(readsBackAs(settings.value(key), value, &why), qPrintable(why));
        QCOMPARE(settings.allKeys().count(), existing ? 2 : 1);
        QFile::remove(fileName());
    }
}

void TestSettingsChange::editsKeepTheRest_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");   // invalid: remove the key or group
    QTest::addColumn<QStringList>("gone"); // keys that go with it

    const QString charger = QStringLiteral("ChargingConfigurations/{5e771265-0000-4000-8000-000000000001}");
    QTest::newRow("a value changes in its line")
            << charger + "/targetPercentage" << QVariant(90) << QStringList{charger + "/targetPercentage"};
    QTest::newRow("a new key joins its section")
            << charger + "/dischargeFloorPercentage" << QVariant(25) << QStringList();
    QTest::newRow("a new section at the end") << "ManualSoCs/{car}" << QVariant(42) << QStringList();
    QTest::newRow("a top-level key") << "batteryLevelUpperLimit" << QVariant(0.95) << QStringList();
    QTest::newRow("a key goes") << "acquisitionTolerance" << QVariant() << QStringList{"acquisitionTolerance"};
    QTest::newRow("a group goes, its section stays")
            << charger << QVariant()
            << QStringList{charger + "/targetPercentage", charger + "/chargingMode", charger + "/assignedCarId",
                           charger + "/endDateTime", charger + "/repeatDays"};
    QTest::newRow("the last group of a section goes with its header")
            << "ChargingInfos" << QVariant() << QStringList{"ChargingInfos/{old}/chargingMode"};
}

void TestSettingsChange::editsKeepTheRest()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QFETCH(QStringList, gone);

    // A file as Qt writes it, binary values included, with what a person or
    // another program may add: a comment, a foreign section.
    const QString charger = QStringLiteral("ChargingConfigurations/{5e771265-0000-4000-8000-000000000001}");
    const QString other = QStringLiteral("ChargingConfigurations/{5e771265-0000-4000-8000-000000000009}");
    {
        QSettings settings(fileName(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("phasePowerConsumptionLimit"), 25);
        settings.setValue(QStringLiteral("acquisitionTolerance"), 0.25);
        settings.setValue(charger + "/assignedCarId", QUuid::createUuid());
        settings.setValue(charger + "/endDateTime", QDateTime(QDate(2026, 1, 2), QTime(7, 0)));
        settings.setValue(charger + "/repeatDays", QVariantList{1, 2});
        settings.setValue(charger + "/chargingMode", 1);
        settings.setValue(charger + "/targetPercentage", 70);
        settings.setValue(other + "/targetPercentage", 60);
        settings.setValue(QStringLiteral("ChargingInfos/{old}/chargingMode"), 2);
    }
    const QByteArray extra = "\n; the owner's note\n[Other]\nkeep=me\n";
    QFile append(fileName());
    QVERIFY(append.open(QIODevice::Append));
    append.write(extra);
    append.close();
    const QByteArray before = fileContent(fileName());
    QMap<QString, QVariant> values;
    {
        QSettings settings(fileName(), QSettings::IniFormat);
        for (const QString &name : settings.allKeys())
            values.insert(name, settings.value(name));
    }

    SettingsChange change;
    if (value.isValid())
        change.setValue(key, value);
    else
        change.remove(key);
    QString error;
    QVERIFY2(change.commit(&error), qPrintable(error));

    const QByteArray after = fileContent(fileName());
    QSettings settings(fileName(), QSettings::IniFormat);
    QCOMPARE(settings.status(), QSettings::NoError);
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        if (gone.contains(it.key()) && !value.isValid()) {
            QVERIFY2(!settings.contains(it.key()), qPrintable(it.key()));
        } else if (it.key() != key) {
            QCOMPARE(settings.value(it.key()), it.value());
        }
    }
    if (value.isValid()) {
        QString why;
        QVERIFY2(readsBackAs(settings.value(key), value, &why), qPrintable(why));
    }
    QCOMPARE(settings.allKeys().count(), values.count() + (values.contains(key) || !value.isValid() ? 0 : 1)
                                                 - (value.isValid() ? 0 : gone.count()));
    // Untouched lines are as they were, byte for byte.
    QVERIFY(after.contains(extra));
    for (const QByteArray &line : before.split('\n')) {
        const bool touched = line.startsWith("targetPercentage=") || line.startsWith("acquisitionTolerance=")
                             || line.contains("%7B5e771265-0000-4000-8000-000000000001%7D")
                             || line.contains("%7Bold%7D") || line == "[ChargingInfos]";
        if (!touched)
            QVERIFY2(after.contains(line), line.constData());
    }
    QCOMPARE(after.contains("[ChargingInfos]"), !key.startsWith(QLatin1String("ChargingInfos")));
}

void TestSettingsChange::sameSizeChangesAreSeen()
{
    // QSettings keeps a file it read while its size and time stay the same,
    // and file times tick coarsely: every write must move the time on, also
    // past a file time a clock stepped back has left ahead of now.
    SettingsChange first;
    first.setValue(QStringLiteral("phasePowerConsumptionLimit"), 25);
    QVERIFY(first.commit());
    QFile file(fileName());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QDateTime ahead = QDateTime::currentDateTime().addSecs(3600);
    QVERIFY(file.setFileTime(ahead, QFileDevice::FileModificationTime));
    file.close();
    QSettings cached(fileName(), QSettings::IniFormat);
    QCOMPARE(cached.value(QStringLiteral("phasePowerConsumptionLimit")).toInt(), 25);

    QDateTime previous = ahead;
    for (int i = 0; i < 20; i++) {
        SettingsChange change;
        change.setValue(QStringLiteral("phasePowerConsumptionLimit"), i % 2 ? 25 : 32);
        QVERIFY(change.commit());
        const QDateTime written = QFileInfo(fileName()).lastModified();
        QVERIFY2(written > previous, qPrintable(written.toString(Qt::ISODateWithMs)));
        previous = written;
        cached.sync();
        QCOMPARE(cached.value(QStringLiteral("phasePowerConsumptionLimit")).toInt(), i % 2 ? 25 : 32);
    }
}

QTEST_GUILESS_MAIN(TestSettingsChange)
#include "tst_settingschange.moc"
