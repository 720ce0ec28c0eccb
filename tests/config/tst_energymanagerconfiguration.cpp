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
    QLoggingCategory::setFilterRules(QStringLiteral("TavroEnergy.debug=true"));
}

void TestEnergyManagerConfiguration::cleanup()
{
    qunsetenv("TAVRO_ENERGY_MANAGER_CONFIG");
    QFile::remove(m_dir.filePath("storage/energy-manager-configuration.json"));
    QFile::remove(m_dir.filePath("env.json"));
}

// Expected values in the order of the getters; the strategy as its number.
using Values = QVariantList;

namespace {

// The warnings and the success line of the category, as the owner reads them.
QStringList g_messages;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (QByteArray(context.category) != "TavroEnergy")
        return;
    if (type == QtWarningMsg)
        g_messages << message;
    else if (message.contains(QLatin1String("successfully")))
        g_messages << QStringLiteral("success: ") + message;
}

}

void TestEnergyManagerConfiguration::loading_data()
{
    QTest::addColumn<QByteArray>("defaultFile"); // null: no file at the default location
    QTest::addColumn<QString>("envFile");        // empty: variable unset; "env.json" is written with envContent
    QTest::addColumn<QByteArray>("envContent");  // null: the named file does not exist
    QTest::addColumn<QStringList>("messages");   // regular expressions, one per warning or success line, in order
    QTest::addColumn<Values>("expected");

    const Values defaults{300u, 10u, 15u, 15u, 0.5, int(ChargingShareStrategy::StrategyEqualPower), 600u};
    const QByteArray all = R"({"chargingEnabledLockDuration": 120, "chargingCurrentLockDuration": 5,
        "minimumScheduleDuration": 30, "chargingShareRotationWindow": 20,
        "spotMarketChargePredictableEnergyPercentage": 0.75, "chargingShareStrategy": "WeightedPower",
        "surplusStopDelay": 60})";
    const Values allValues{120u, 5u, 30u, 20u, 0.75, int(ChargingShareStrategy::StrategyWeightedPower), 60u};
    const QStringList success{"^success: Loaded the energy manager configuration successfully from"};

    QTest::newRow("no file anywhere") << QByteArray() << QString() << QByteArray() << QStringList() << defaults;
    QTest::newRow("default location, every value") << all << QString() << QByteArray() << success << allValues;
    QTest::newRow("env names an existing file") << QByteArray() << "env.json" << all << success << allValues;
    QTest::newRow("env file wins over default file")
            << QByteArray(R"({"chargingCurrentLockDuration": 99})") << "env.json" << all << success << allValues;
    QTest::newRow("env names a missing file, default not read")
            << all << "env.json" << QByteArray() << QStringList{"there is no such file"} << defaults;
    QTest::newRow("only the strategy, any letter case")
            << QByteArray(R"({"chargingShareStrategy": "priority"})") << QString() << QByteArray() << success
            << Values{300u, 10u, 15u, 15u, 0.5, int(ChargingShareStrategy::StrategyPriority), 600u};
    QTest::newRow("unknown strategy keeps the current one, by name")
            << QByteArray(R"({"chargingShareStrategy": "Fastest"})") << QString() << QByteArray()
            << QStringList{"^Unknown charging share strategy in the energy manager configuration: Fastest - keeping "
                           "EqualPower$"}
            << defaults;
    QTest::newRow("empty file") << QByteArray("") << QString() << QByteArray()
                                << QStringList{"the JSON data seems to be invalid: line 1, column 1"} << defaults;
    QTest::newRow("broken JSON in env file, line and column")
            << QByteArray() << "env.json" << QByteArray("{\n  \"minimumScheduleDuration\": ")
            << QStringList{"the JSON data seems to be invalid: line 2, column 30"} << defaults;
    QTest::newRow("array document")
            << QByteArray("[1, 2]") << QString() << QByteArray()
            << QStringList{"^The energy manager configuration is no JSON object: an object is expected, not a list"}
            << defaults;
    // A typo would silently keep a default: each unknown key is named, the others count.
    QTest::newRow("misspelt keys are named, the rest counts")
            << QByteArray(R"({"surplusStopDelai": 60, "minimumScheduleDuration": 30, "phaseSwitchUpDelay": 5,
                              "chargingLockDuration": 1})")
            << QString() << QByteArray()
            << QStringList{"^Unknown key in the energy manager configuration: chargingLockDuration - ignored$",
                           "^Unknown key in the energy manager configuration: surplusStopDelai \\(did you mean "
                           "\"surplusStopDelay\"\\?\\) - ignored$"}
            << Values{300u, 10u, 30u, 15u, 0.5, 0, 600u};
    QTest::newRow("text for a number keeps the default, by name")
            << QByteArray(
                       R"({"minimumScheduleDuration": "soon", "spotMarketChargePredictableEnergyPercentage": "0.25"})")
            << QString() << QByteArray()
            << QStringList{"^Wrong type in the energy manager configuration for minimumScheduleDuration - a number is "
                           "expected, not the text \"soon\" - keeping the current value$",
                           "^Wrong type .* for spotMarketChargePredictableEnergyPercentage - a number is expected"}
            << defaults;
    // 0 would switch the anti-toggle lock off.
    QTest::newRow("negative lock duration keeps the default")
            << QByteArray(R"({"chargingEnabledLockDuration": -5, "chargingCurrentLockDuration": -1})") << QString()
            << QByteArray()
            << QStringList{"Negative value.*chargingEnabledLockDuration", "Negative value.*chargingCurrentLockDuration"}
            << defaults;
    QTest::newRow("too large duration clamps to the maximum")
            << QByteArray(R"({"chargingShareRotationWindow": 5000000000})") << QString() << QByteArray()
            << QStringList{"too large.*chargingShareRotationWindow"}
            << Values{300u, 10u, 15u, 4294967295u, 0.5, 0, 600u};
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
    QFETCH(QStringList, messages);
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

    g_messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collect);
    EnergyManagerConfiguration configuration;
    qInstallMessageHandler(previous);

    const Values actual{configuration.chargingEnabledLockDuration(),
                        configuration.chargingCurrentLockDuration(),
                        configuration.minimumScheduleDuration(),
                        configuration.chargingShareRotationWindow(),
                        configuration.spotMarketChargePredictableEnergyPercentage(),
                        int(configuration.chargingShareStrategy()),
                        configuration.surplusStopDelay()};
    QCOMPARE(actual, expected);
    // Exactly these lines: a problem never comes with "successfully".
    QVERIFY2(g_messages.count() == messages.count(), qPrintable(g_messages.join('\n')));
    for (int i = 0; i < messages.count(); i++)
        QVERIFY2(QRegularExpression(messages.at(i)).match(g_messages.at(i)).hasMatch(), qPrintable(g_messages.at(i)));
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
