#include <QtTest>
#include "settingssandbox.h"

#include "config/energymanagerconfiguration.h"
#include "config/energysettings.h"

#include <QTemporaryDir>

class TestEnergyManagerConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void loading_data();
    void loading();
    void settingsFile();

private:
    SettingsSandbox m_dir;
};

void TestEnergyManagerConfiguration::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_dir.apply();
}

void TestEnergyManagerConfiguration::cleanup()
{
    qunsetenv("TAVRO_ENERGY_MANAGER_CONFIG");
    QFile::remove(m_dir.filePath("storage/energy-manager-configuration.json"));
    QFile::remove(m_dir.filePath("env.json"));
}

// Expected values in the order of the getters; the strategy as its number.
using Values = QVariantList;

void TestEnergyManagerConfiguration::loading_data()
{
    QTest::addColumn<QByteArray>("defaultFile"); // null: no file at the default location
    QTest::addColumn<QString>("envFile");        // empty: variable unset; "env.json" is written with envContent
    QTest::addColumn<QByteArray>("envContent");  // null: the named file does not exist
    QTest::addColumn<QString>("warning");        // regular expression of the expected warning, empty for none
    QTest::addColumn<Values>("expected");

    const Values defaults{300u, 10u, 15u, 15u, 0.5, int(ChargingShareStrategy::StrategyEqualPower)};
    const QByteArray all = R"({"chargingEnabledLockDuration": 120, "chargingCurrentLockDuration": 5,
        "minimumScheduleDuration": 30, "chargingShareRotationWindow": 20,
        "spotMarketChargePredictableEnergyPercentage": 0.75, "chargingShareStrategy": "WeightedPower"})";
    const Values allValues{120u, 5u, 30u, 20u, 0.75, int(ChargingShareStrategy::StrategyWeightedPower)};

    QTest::newRow("no file anywhere") << QByteArray() << QString() << QByteArray() << QString() << defaults;
    QTest::newRow("default location, every value") << all << QString() << QByteArray() << QString() << allValues;
    QTest::newRow("env names an existing file") << QByteArray() << "env.json" << all << QString() << allValues;
    QTest::newRow("env file wins over default file")
            << QByteArray(R"({"chargingCurrentLockDuration": 99})") << "env.json" << all << QString() << allValues;
    QTest::newRow("env names a missing file, default not read")
            << all << "env.json" << QByteArray() << "there is no such file" << defaults;
    QTest::newRow("only the strategy, any letter case")
            << QByteArray(R"({"chargingShareStrategy": "priority"})") << QString() << QByteArray() << QString()
            << Values{300u, 10u, 15u, 15u, 0.5, int(ChargingShareStrategy::StrategyPriority)};
    QTest::newRow("unknown strategy keeps the current one") << QByteArray(R"({"chargingShareStrategy": "Fastest"})")
                                                            << QString() << QByteArray() << QString() << defaults;
    QTest::newRow("empty file") << QByteArray("") << QString() << QByteArray() << "the JSON data seems to be invalid"
                                << defaults;
    QTest::newRow("broken JSON in env file")
            << QByteArray() << "env.json" << QByteArray("{\"minimumScheduleDuration\": ")
            << "the JSON data seems to be invalid" << defaults;
    QTest::newRow("array document") << QByteArray("[1, 2]") << QString() << QByteArray() << QString() << defaults;
    QTest::newRow("text for a number converts to 0")
            << QByteArray(
                       R"({"minimumScheduleDuration": "soon", "spotMarketChargePredictableEnergyPercentage": "0.25"})")
            << QString() << QByteArray() << QString()
            << Values{300u, 10u, 0u, 15u, 0.25, int(ChargingShareStrategy::StrategyEqualPower)};
    // 0 would switch the anti-toggle lock off.
    QTest::newRow("negative lock duration keeps the default")
            << QByteArray(R"({"chargingEnabledLockDuration": -5, "chargingCurrentLockDuration": -1})") << QString()
            << QByteArray() << "Negative value.*chargingCurrentLockDuration" << defaults;
    QTest::newRow("too large duration clamps to the maximum")
            << QByteArray(R"({"chargingShareRotationWindow": 5000000000})") << QString() << QByteArray()
            << "too large.*chargingShareRotationWindow" << Values{300u, 10u, 15u, 4294967295u, 0.5, 0};
}

static void writeFile(const QString &fileName, const QByteArray &content)
{
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void TestEnergyManagerConfiguration::loading()
{
    QFETCH(QByteArray, defaultFile);
    QFETCH(QString, envFile);
    QFETCH(QByteArray, envContent);
    QFETCH(QString, warning);
    QFETCH(Values, expected);

    if (!defaultFile.isNull()) {
        QDir().mkpath(m_dir.filePath("storage"));
        writeFile(m_dir.filePath("storage/energy-manager-configuration.json"), defaultFile);
    }
    if (!envFile.isEmpty()) {
        qputenv("TAVRO_ENERGY_MANAGER_CONFIG", m_dir.filePath(envFile).toUtf8());
        if (!envContent.isNull())
            writeFile(m_dir.filePath(envFile), envContent);
    }
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));

    EnergyManagerConfiguration configuration;
    const Values actual{configuration.chargingEnabledLockDuration(),
                        configuration.chargingCurrentLockDuration(),
                        configuration.minimumScheduleDuration(),
                        configuration.chargingShareRotationWindow(),
                        configuration.spotMarketChargePredictableEnergyPercentage(),
                        int(configuration.chargingShareStrategy())};
    QCOMPARE(actual, expected);
}

void TestEnergyManagerConfiguration::settingsFile()
{
    {
        EnergySettings settings;
        QCOMPARE(settings.fileName(), m_dir.filePath("settings/energy.conf"));
        QCOMPARE(settings.format(), QSettings::IniFormat);
        settings.setValue("phasePowerConsumptionLimit", 25);
    }
    // Written back on destruction, read again by a fresh instance.
    QVERIFY(QFile::exists(m_dir.filePath("settings/energy.conf")));
    QCOMPARE(EnergySettings().value("phasePowerConsumptionLimit").toInt(), 25);
}

QTEST_GUILESS_MAIN(TestEnergyManagerConfiguration)
#include "tst_energymanagerconfiguration.moc"
