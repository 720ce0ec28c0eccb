#include "tavro-energy/energymanager.h"
#include "settingssandbox.h"
#include "tavro-energy/energyplugin.h"
#include "tavro-energy/energypluginloader.h"
#include "tavro/jsonrpcserver.h"
#include "tavro/loggingcategories.h"
#include "tavro/thingmanager.h"

#include <QDir>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QPluginLoader>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QStringList s_messages;
QtMessageHandler s_previousHandler = nullptr;

void recordingHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qstrcmp(context.category, "TavroEnergy") == 0)
        s_messages.append(message);
    if (type != QtDebugMsg && s_previousHandler)
        s_previousHandler(type, context, message);
}
}

class TestPluginLoading : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void metadata();
    void metacast_data();
    void metacast();
    void categoryListedOnce();
    void initCreatesTheSystem();

private:
    QString m_pluginFile;
    SettingsSandbox m_directory;
};

void TestPluginLoading::initTestCase()
{
    m_directory.apply();
    QLoggingCategory::setFilterRules(QStringLiteral("TavroEnergy.debug=true"));
    s_previousHandler = qInstallMessageHandler(recordingHandler);

    const QStringList plugins = EnergyPluginLoader::findPlugins({qEnvironmentVariable("TAVRO_PLUGIN_PATH")});
    QCOMPARE(plugins.count(), 1);
    m_pluginFile = plugins.first();
}

void TestPluginLoading::cleanupTestCase()
{
    qInstallMessageHandler(s_previousHandler);
}

void TestPluginLoading::metadata()
{
    QPluginLoader loader(m_pluginFile);
    QCOMPARE(loader.metaData().value(QStringLiteral("IID")).toString(), QStringLiteral("io.tavro.EnergyPlugin"));
    QCOMPARE(loader.metaData().value(QStringLiteral("className")).toString(), QStringLiteral("EnergyPluginTavro"));
    QVERIFY(loader.metaData().value(QStringLiteral("MetaData")).toObject().isEmpty());
}

void TestPluginLoading::metacast_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("castsToPlugin");

    QTest::newRow("interface id") << QByteArray("io.tavro.EnergyPlugin") << true;
    QTest::newRow("class name") << QByteArray("EnergyPluginTavro") << true;
    QTest::newRow("base class") << QByteArray("EnergyPlugin") << true;
    QTest::newRow("QObject") << QByteArray("QObject") << true;
    QTest::newRow("unrelated") << QByteArray("io.tavro.OtherPlugin") << false;
}

void TestPluginLoading::metacast()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, castsToPlugin);

    QPluginLoader loader(m_pluginFile);
    QObject *instance = loader.instance();
    QVERIFY2(instance, qPrintable(loader.errorString()));
    QCOMPARE(instance->qt_metacast(name.constData()) != nullptr, castsToPlugin);
    QVERIFY(!instance->qt_metacast(nullptr));
    QVERIFY(qobject_cast<EnergyPlugin *>(instance));
}

void TestPluginLoading::categoryListedOnce()
{
    QPluginLoader first(m_pluginFile);
    QVERIFY(first.load());
    QCOMPARE(tavroLoggingCategories().count(QStringLiteral("TavroEnergy")), 1);

    // A second copy of the library is a second load with its own static
    // initialisation.
    const QString copy = m_directory.filePath(QStringLiteral("libenergy_plugin_tavro_copy.so"));
    QVERIFY(QFile::copy(m_pluginFile, copy));
    QPluginLoader second(copy);
    QVERIFY2(second.load(), qPrintable(second.errorString()));
    QCOMPARE(tavroLoggingCategories().count(QStringLiteral("TavroEnergy")), 1);
}

void TestPluginLoading::initCreatesTheSystem()
{
    ThingManager thingManager;
    EnergyManager energyManager(&thingManager);
    JsonRpcServer jsonRpcServer;
    thingManager.addConfiguredThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger"));

    s_messages.clear();
    EnergyPlugin *plugin = EnergyPluginLoader::load(m_pluginFile, &energyManager, &thingManager, &jsonRpcServer);
    QVERIFY(plugin);
    QCOMPARE(plugin->thingManager(), &thingManager);
    QVERIFY(s_messages.contains(QStringLiteral("Initializing tavro.energy plugin")));
    // The plugin's namespace is the one handler the server gained.
    QCOMPARE(jsonRpcServer.handler(QStringLiteral("TavroEnergy"))->name(), QStringLiteral("TavroEnergy"));

    // Created in this order (other children may come between).
    const QStringList expected = {
            QStringLiteral("EnergyManagerConfiguration"), QStringLiteral("QNetworkAccessManager"),
            QStringLiteral("SpotMarketManager"),          QStringLiteral("SmartChargingManager"),
            QStringLiteral("EnergyManagerDbusInterface"), QStringLiteral("TavroEnergyJsonHandler")};
    QStringList created;
    for (QObject *child : plugin->children()) {
        if (expected.contains(QString::fromLatin1(child->metaObject()->className())))
            created.append(QString::fromLatin1(child->metaObject()->className()));
    }
    QCOMPARE(created, expected);
    delete plugin;
}

QTEST_GUILESS_MAIN(TestPluginLoading)
#include "tst_pluginloading.moc"
