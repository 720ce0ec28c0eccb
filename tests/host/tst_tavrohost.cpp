#include "../jsonrpc-server/jsonrpctestclient.h"
#include "settingssandbox.h"

#include "tavro/household.h"

#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

// tavro-host as its owner runs it: a household file, the folders it keeps
// its settings in, the warning while no phase limit is set.
class TestTavroHost : public QObject
{
    Q_OBJECT

private slots:
    void householdErrors_data();
    void householdErrors();
    void householdOverTheApi();
    void defaultFolders_data();
    void defaultFolders();

private:
    // A running host with JSON-RPC on a free port and an admin client.
    struct Running {
        std::unique_ptr<QProcess> process;
        std::unique_ptr<JsonRpcTestClient> client;
        ~Running()
        {
            if (process) {
                process->terminate();
                process->waitForFinished(5000);
            }
        }
    };
    bool start(Running *running, const QStringList &arguments, const QProcessEnvironment &environment);
    QProcessEnvironment sandboxed() const;

    SettingsSandbox m_dir;
};

QProcessEnvironment TestTavroHost::sandboxed() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    m_dir.addTo(environment);
    return environment;
}

bool TestTavroHost::start(Running *running, const QStringList &arguments, const QProcessEnvironment &environment)
{
    QFile tokens(m_dir.filePath("tokens"));
    if (!tokens.open(QIODevice::WriteOnly) || tokens.write("admin-token\n") < 0)
        return false;
    tokens.close();
    tokens.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    running->process = std::make_unique<QProcess>();
    running->process->setProcessEnvironment(environment);
    running->process->start(TAVRO_HOST,
                            arguments + QStringList{"--jsonrpc-port", "0", "--token-file", tokens.fileName()});
    QByteArray out;
    const bool listening = QTest::qWaitFor(
            [&]() {
                out += running->process->readAllStandardOutput();
                return out.contains("JSON-RPC listening on 127.0.0.1:") && out.endsWith('\n');
            },
            20000);
    if (!listening) {
        qWarning() << running->process->readAllStandardError();
        return false;
    }
    const quint16 port = out.mid(out.lastIndexOf(':') + 1).trimmed().toUShort();
    running->client = std::make_unique<JsonRpcTestClient>();
    return running->client->connectTo(port)
           && running->client->call("JSONRPC.Authenticate", R"({"token":"admin-token"})").contains("result");
}

void TestTavroHost::householdErrors_data()
{
    QTest::addColumn<QByteArray>("household");
    QTest::addColumn<QString>("error"); // in what the host says; empty: it runs

    const QByteArray meter = R"("meter": {"id": "grid", "name": "Grid"})";
    QTest::newRow("a meter only") << "{" + meter + "}"
                                  << "";
    QTest::newRow("no meter") << QByteArray(R"({"phaseLimit": 25})")
                              << "(the whole file): Missing required property 'meter'";
    QTest::newRow("broken JSON") << "{" + meter + ",\n  \"phaseLimit\": 25,\n  \"cars\": [}"
                                 << "line 3, column 13: object is missing after a comma";
    QTest::newRow("an id with capitals")
            << "{" + meter + R"(, "chargers": [{"id": "grid", "name": "A"}, {"id": "Garage", "name": "B"}]})"
            << "chargers[1].id: Failed to match regex";
    QTest::newRow("unknown member") << "{" + meter + R"(, "fuse": 25})"
                                    << "fuse";
    QTest::newRow("phase limit 0") << "{" + meter + R"(, "phaseLimit": 0})"
                                   << "phaseLimit:";
    QTest::newRow("a car on a charger that is not there")
            << "{" + meter + R"(, "cars": [{"id": "van", "name": "Van", "charger": "garage"}]})"
            << "cars[0].charger: no charger has the id \"garage\"";
    QTest::newRow("two cars on one charger")
            << "{" + meter
                       + R"(, "chargers": [{"id": "garage", "name": "G"}], "cars": [{"id": "a", "name": "A", "charger": "garage"}, {"id": "b", "name": "B", "charger": "garage"}]})"
            << "cars[1].charger: cars[0] is plugged into \"garage\" already";
    QTest::newRow("an id twice")
            << "{" + meter + R"(, "chargers": [{"id": "garage", "name": "G"}, {"id": "garage", "name": "H"}]})"
            << "chargers[1].id: \"garage\" is used twice";
    QTest::newRow("a state the class lacks")
            << "{" + meter + R"(, "solar": [{"id": "roof", "name": "Roof", "states": {"batteryLevel": 3}}]})"
            << "solar[0].states.batteryLevel: a solarInverter has no state";
    QTest::newRow("prices from the internet")
            << "{" + meter + R"(, "prices": {"provider": "aWATTar AT", "url": "http://example.org"}})"
            << "prices.url";
    // Found out once the plugin is loaded: it offers what it offers.
    QTest::newRow("a provider the plugin lacks")
            << "{" + meter + R"(, "prices": {"provider": "Nope", "url": "http://127.0.0.1:9"}})"
            << "prices.provider: the plugin offers no \"Nope\"";
    QTest::newRow("a price file that is not there")
            << "{" + meter + R"(, "prices": {"provider": "aWATTar AT", "file": "nowhere.json"}})"
            << "prices.file: cannot read";
}

void TestTavroHost::householdErrors()
{
    QFETCH(QByteArray, household);
    QFETCH(QString, error);

    m_dir.clear();
    QFile file(m_dir.filePath("household.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(household);
    file.close();
    QProcess host;
    host.setProcessEnvironment(sandboxed());
    host.start(TAVRO_HOST, {"--household", file.fileName(), "--minutes", "1"});
    QVERIFY(host.waitForFinished(30000));
    const QString said = QString::fromUtf8(host.readAllStandardError());
    QCOMPARE(host.exitCode(), error.isEmpty() ? 0 : 1);
    QVERIFY2(said.contains(error), qPrintable(said.right(600)));
    // A file refused before the plugin starts creates no settings.
    if (!error.isEmpty() && !error.startsWith("prices.provider"))
        QVERIFY(!QFile::exists(m_dir.folder("settings") + "/energy.conf"));
}

void TestTavroHost::householdOverTheApi()
{
    m_dir.clear();
    const qint64 hour = QDateTime::currentSecsSinceEpoch() / 3600 * 3600;
    QJsonArray priceSlots;
    for (int i = -1; i < 30; i++)
        priceSlots.append(QJsonObject{{"start_timestamp", (hour + i * 3600) * 1000.0},
                                      {"end_timestamp", (hour + i * 3600 + 3600) * 1000.0},
                                      {"marketprice", 40.0 + i},
                                      {"unit", "Eur/MWh"}});
    QFile prices(m_dir.filePath("prices.json"));
    QVERIFY(prices.open(QIODevice::WriteOnly));
    prices.write(QJsonDocument(QJsonObject{{"data", priceSlots}}).toJson());
    prices.close();
    QFile household(m_dir.filePath("household.json"));
    QVERIFY(household.open(QIODevice::WriteOnly));
    household.write(R"({
        "meter": {"id": "grid", "name": "Grid meter"},
        "chargers": [{"id": "garage", "name": "Garage wallbox", "maxCurrent": 16}],
        "cars": [{"id": "hatchback", "name": "Hatchback", "charger": "garage", "capacity": 50, "batteryLevel": 40}],
        "batteries": [{"id": "basement", "name": "Home battery", "capacity": 10}],
        "phaseLimit": 25,
        "prices": {"provider": "aWATTar DE", "file": "prices.json"}
    })");
    household.close();

    const QString garage = Household::thingId("charger", "garage").toString();
    const QString hatchback = Household::thingId("car", "hatchback").toString();
    QJsonArray firstThings;
    for (int run = 0; run < 2; run++) {
        Running host;
        QVERIFY(start(&host, {"--household", household.fileName()}, sandboxed()));
        JsonRpcTestClient &client = *host.client;
        // The things with the ids the file gives them and their names.
        const QJsonArray things = client.call("Things.GetThings").value("result").toObject().value("things").toArray();
        QStringList names;
        for (const QJsonValue &thing : things) {
            names << thing.toObject().value("name").toString();
            if (names.last() == QLatin1String("Garage wallbox"))
                QCOMPARE(thing.toObject().value("id").toString(), garage);
        }
        names.sort();
        QCOMPARE(names, QStringList({"Garage wallbox", "Grid meter", "Hatchback", "Home battery"}));
        if (run == 0)
            firstThings = things;
        else
            QCOMPARE(things, firstThings);

        QCOMPARE(client.call("TavroEnergy.GetPhasePowerLimit").value("result").toObject().value("phasePowerLimit"),
                 QJsonValue(25));
        QCOMPARE(client.call("JSONRPC.Hello").value("result").toObject().value("warnings"), QJsonValue(QJsonArray()));
        // The car is on its charger, and what the owner set stays.
        const auto garageConfiguration = [&]() {
            for (const QJsonValue &each : client.call("TavroEnergy.GetChargingConfigurations")
                                                  .value("result")
                                                  .toObject()
                                                  .value("chargingConfigurations")
                                                  .toArray()) {
                if (each.toObject().value("evChargerId").toString() == garage)
                    return each.toObject();
            }
            return QJsonObject();
        };
        QCOMPARE(garageConfiguration().value("assignedCarId").toString(), hatchback);
        if (run == 0) {
            const QByteArray target = R"({"chargingConfiguration":{"evChargerId":")" + garage.toUtf8()
                                      + R"(","chargingMode":"ChargingModeEco","targetPercentage":80}})";
            QCOMPARE(client.call("TavroEnergy.SetChargingConfiguration", target)
                             .value("result")
                             .toObject()
                             .value("energyError")
                             .toString(),
                     QString("EnergyErrorNoError"));
        } else {
            QCOMPARE(garageConfiguration().value("targetPercentage").toInt(), 80);
            QCOMPARE(garageConfiguration().value("chargingMode").toString(), QString("ChargingModeEco"));
        }
        // The prices come from the file, without the internet.
        QVERIFY(QTest::qWaitFor(
                [&]() {
                    return client.call("TavroEnergy.GetSpotMarketConfiguration")
                            .value("result")
                            .toObject()
                            .value("available")
                            .toBool();
                },
                10000));
        QVERIFY(client.call("TavroEnergy.GetSpotMarketScoreEntries")
                        .value("result")
                        .toObject()
                        .value("spotMarketScoreEntries")
                        .toArray()
                        .count()
                >= 29);
    }

    // Without a phase limit the host says so, to every client, until one is set.
    m_dir.clear();
    Running bare;
    QVERIFY(start(&bare, {}, sandboxed()));
    const QJsonArray warnings =
            bare.client->call("JSONRPC.Hello").value("result").toObject().value("warnings").toArray();
    QCOMPARE(warnings.count(), 1);
    QVERIFY(warnings.first().toString().startsWith("Overload protection is OFF"));
    QVERIFY(bare.client->call("TavroEnergy.SetPhasePowerLimit", R"({"phasePowerLimit":20})").contains("result"));
    QVERIFY(QTest::qWaitFor([&]() { return !bare.client->notifications.isEmpty(); }, 5000));
    QVERIFY(bare.client->call("JSONRPC.Hello").contains("result"));
    QStringList notified;
    for (const QJsonObject &notification : bare.client->notifications)
        notified << notification.value("method").toString();
    QVERIFY2(notified.contains("JSONRPC.WarningsChanged"), qPrintable(notified.join(' ')));
    QCOMPARE(bare.client->call("JSONRPC.Hello").value("result").toObject().value("warnings"), QJsonValue(QJsonArray()));
    QVERIFY(QString::fromUtf8(bare.process->readAllStandardError()).contains("WARNING: Overload protection is OFF"));
}

void TestTavroHost::defaultFolders_data()
{
    QTest::addColumn<QString>("folder"); // how ~/.config/tavro is before the start
    QTest::addColumn<QString>("error");  // empty: the host runs

    QTest::newRow("not there: made private") << "none"
                                             << "";
    QTest::newRow("the owner's, private") << "0700"
                                          << "";
    QTest::newRow("the owner's, readable by all") << "0755"
                                                  << "";
    QTest::newRow("writable by the group") << "0770"
                                           << "Other users may write in the folder";
    QTest::newRow("writable by all") << "0777"
                                     << "Other users may write in the folder";
    QTest::newRow("someone else's") << "nobody"
                                    << "belongs to user id 65534";
}

void TestTavroHost::defaultFolders()
{
    QFETCH(QString, folder);
    QFETCH(QString, error);

    if (folder == "nobody" && ::geteuid() != 0)
        QSKIP("giving a folder to another user needs root");
    QTemporaryDir home;
    QVERIFY(home.isValid());
    // What another user could leave in the shared temporary folder: no
    // phase limit, so no overload protection.
    const QString shared = home.filePath("tmp/tavro-host/settings");
    QVERIFY(QDir().mkpath(shared));
    QFile planted(shared + "/energy.conf");
    QVERIFY(planted.open(QIODevice::WriteOnly));
    planted.write("[General]\nphasePowerConsumptionLimit=0\n");
    planted.close();
    const QString config = home.filePath(".config/tavro");
    if (folder != "none") {
        QVERIFY(QDir().mkpath(config));
        if (folder == "nobody")
            QCOMPARE(::chown(QFile::encodeName(config).constData(), 65534, 65534), 0);
        else
            QCOMPARE(::chmod(QFile::encodeName(config).constData(), folder.toUInt(nullptr, 8)), 0);
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &variable : environment.keys()) {
        if (variable.startsWith("TAVRO_") && variable != "TAVRO_PLUGIN_PATH")
            environment.remove(variable);
        if (variable.startsWith("XDG_"))
            environment.remove(variable);
    }
    environment.insert("HOME", home.path());
    environment.insert("TMPDIR", home.filePath("tmp"));
    QProcess host;
    host.setProcessEnvironment(environment);
    // The built-in household and a phase limit set through the API would
    // need a client; the phase limit of the planted file is what matters.
    host.start(TAVRO_HOST, {"--minutes", "1"});
    QVERIFY(host.waitForFinished(30000));
    const QString said = QString::fromUtf8(host.readAllStandardError());
    QCOMPARE(host.exitCode(), error.isEmpty() ? 0 : 1);
    QVERIFY2(said.contains(error), qPrintable(said.right(600)));
    if (!error.isEmpty())
        return;
    for (const char *path : {".config/tavro", ".local/share/tavro", ".cache/tavro"}) {
        struct stat status = {};
        QCOMPARE(::stat(QFile::encodeName(home.filePath(path)).constData(), &status), 0);
        QCOMPARE(status.st_uid, ::geteuid());
        // Made private; one the owner made readable stays as it is.
        if (!(qstrcmp(path, ".config/tavro") == 0 && folder == "0755"))
            QCOMPARE(status.st_mode & 0777, 0700u);
    }
    // Nothing of the host's is in the shared folder.
    QCOMPARE(QDir(home.filePath("tmp/tavro-host")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList{"settings"});
}

QTEST_GUILESS_MAIN(TestTavroHost)
#include "tst_tavrohost.moc"
