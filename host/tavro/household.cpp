#include "household.h"
#include "jsonrpcserver.h"
#include "pricefileserver.h"
#include "thingmanager.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>

#include <valijson/adapters/qtjson_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validation_results.hpp>
#include <valijson/validator.hpp>

#include <exception>

namespace {

// Thing ids are name-based UUIDs in this namespace: the same file gives the
// same ids on every start.
const QUuid idNamespace(QStringLiteral("{8a6f0c1d-3b2e-4f5a-9c7d-2e1f0a9b8c7d}"));

// The key path of a valijson context ("<root>", "[chargers]", "[1]", "[id]")
// as it is written in the file: "chargers[1].id".
QString keyPath(const std::vector<std::string> &context)
{
    QString path;
    for (size_t i = 1; i < context.size(); i++) {
        QString part = QString::fromStdString(context.at(i));
        if (part.startsWith(QLatin1Char('[')) && part.endsWith(QLatin1Char(']')))
            part = part.mid(1, part.size() - 2);
        bool index = false;
        part.toUInt(&index);
        if (index)
            path += QLatin1Char('[') + part + QLatin1Char(']');
        else
            path += (path.isEmpty() ? QString() : QStringLiteral(".")) + part;
    }
    return path.isEmpty() ? QStringLiteral("(the whole file)") : path;
}

QString lineAndColumn(const QByteArray &json, int offset)
{
    const QByteArray before = json.left(offset);
    const int line = before.count('\n') + 1;
    const int column = offset - (before.lastIndexOf('\n') + 1) + 1;
    return QStringLiteral("line %1, column %2").arg(line).arg(column);
}

bool validate(const QJsonObject &root, QString *error)
{
    QFile schemaFile(QStringLiteral(":/household/household.schema.json"));
    if (!schemaFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("The household schema is missing from the host");
        return false;
    }
    const QJsonDocument schemaDocument = QJsonDocument::fromJson(schemaFile.readAll());
    valijson::Schema schema;
    try {
        valijson::SchemaParser parser;
        valijson::adapters::QtJsonAdapter schemaAdapter(schemaDocument.object());
        parser.populateSchema(schemaAdapter, schema);
    } catch (const std::exception &exception) {
        *error = QStringLiteral("The household schema of the host is broken: %1").arg(exception.what());
        return false;
    }
    valijson::Validator validator;
    valijson::ValidationResults results;
    if (validator.validate(schema, valijson::adapters::QtJsonAdapter(root), &results))
        return true;
    // The most specific complaint: the one deepest in the file.
    valijson::ValidationResults::Error deepest;
    valijson::ValidationResults::Error each;
    while (results.popError(each)) {
        if (each.context.size() > deepest.context.size())
            deepest = each;
    }
    *error = keyPath(deepest.context) + QStringLiteral(": ") + QString::fromStdString(deepest.description);
    return false;
}

struct Kind {
    const char *list; // key of the array in the file, or of the one object
    const char *kind; // for the thing id
    const char *defaultClass;
};

const Kind kinds[] = {
        {"meter", "meter", "gridMeter"},
        {"chargers", "charger", "evChargerAc"},
        {"cars", "car", "electricVehicleConnected"},
        {"batteries", "battery", "homeBattery"},
        {"solar", "solar", "solarInverter"},
};

// What a member of the file sets on the thing, by kind.
const QHash<QString, QString> carStates{{QStringLiteral("capacity"), QStringLiteral("capacity")},
                                        {QStringLiteral("batteryLevel"), QStringLiteral("batteryLevel")},
                                        {QStringLiteral("phases"), QStringLiteral("acPhaseCount")},
                                        {QStringLiteral("minCurrent"), QStringLiteral("acMinChargingCurrent")},
                                        {QStringLiteral("maxCurrent"), QStringLiteral("acMaxChargingCurrent")}};
const QHash<QString, QString> batteryStates{{QStringLiteral("capacity"), QStringLiteral("capacity")},
                                            {QStringLiteral("batteryLevel"), QStringLiteral("batteryLevel")}};

bool setState(Thing *thing, const QString &state, const QVariant &value, const QString &path, QString *error)
{
    if (!thing->hasState(state)) {
        *error = QStringLiteral("%1: a %2 has no state \"%3\"").arg(path, thing->thingClass().name(), state);
        return false;
    }
    thing->setStateValue(state, value);
    return true;
}

// The things of one kind in the file with their key paths.
QList<QPair<QString, QJsonObject>> entries(const QJsonObject &root, const Kind &kind)
{
    QList<QPair<QString, QJsonObject>> result;
    const QString key = QString::fromLatin1(kind.list);
    const QJsonValue value = root.value(key);
    if (value.isObject()) {
        result.append({key, value.toObject()});
        return result;
    }
    const QJsonArray array = value.toArray();
    for (int i = 0; i < array.count(); i++)
        result.append({QStringLiteral("%1[%2]").arg(key).arg(i), array.at(i).toObject()});
    return result;
}

QString energyError(const QVariantMap &reply)
{
    return reply.value(QStringLiteral("energyError")).toString();
}

}

Household::Household() = default;
Household::~Household() = default;

ThingId Household::thingId(const QString &kind, const QString &id)
{
    return QUuid::createUuidV5(idNamespace, kind + QLatin1Char('/') + id);
}

bool Household::load(const QString &fileName, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Cannot read the household file %1: %2").arg(fileName, file.errorString());
        return false;
    }
    m_directory = QFileInfo(fileName).absolutePath();
    if (!loadJson(file.readAll(), error)) {
        *error = fileName + QStringLiteral(": ") + *error;
        return false;
    }
    return true;
}

bool Household::loadJson(const QByteArray &json, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = lineAndColumn(json, parseError.offset) + QStringLiteral(": ") + parseError.errorString();
        return false;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("(the whole file): a household is a JSON object");
        return false;
    }
    if (!validate(document.object(), error))
        return false;
    m_root = document.object();
    return true;
}

bool Household::build(ThingManager *thingManager, QString *error)
{
    QHash<QString, Thing *> chargers;
    QHash<QString, QString> pluggedCars; // charger id -> car's key path
    for (const Kind &kind : kinds) {
        for (const auto &[path, entry] : entries(m_root, kind)) {
            const QString id = entry.value(QStringLiteral("id")).toString();
            const QString thingClass = entry.value(QStringLiteral("class")).toString(QLatin1String(kind.defaultClass));
            const ThingId thingId = Household::thingId(QString::fromLatin1(kind.kind), id);
            if (thingManager->findConfiguredThing(thingId)) {
                *error = QStringLiteral("%1.id: \"%2\" is used twice").arg(path, id);
                return false;
            }
            Thing *thing = thingManager->addConfiguredThing(thingClass, entry.value(QStringLiteral("name")).toString(),
                                                            thingId);
            if (!thing) {
                *error = QStringLiteral("%1.class: no thing class \"%2\"").arg(path, thingClass);
                return false;
            }
            const QJsonObject states = entry.value(QStringLiteral("states")).toObject();
            for (auto it = states.constBegin(); it != states.constEnd(); ++it) {
                if (!setState(thing, it.key(), it.value().toVariant(), path + QStringLiteral(".states.") + it.key(),
                              error))
                    return false;
            }
            const QString kindName = QString::fromLatin1(kind.kind);
            const QHash<QString, QString> &members = kindName == QLatin1String("car") ? carStates : batteryStates;
            if (kindName == QLatin1String("car") || kindName == QLatin1String("battery")) {
                for (auto it = members.constBegin(); it != members.constEnd(); ++it) {
                    if (entry.contains(it.key())
                        && !setState(thing, it.value(), entry.value(it.key()).toVariant(),
                                     path + QLatin1Char('.') + it.key(), error))
                        return false;
                }
            }
            if (kindName == QLatin1String("charger")) {
                if (entry.contains(QStringLiteral("minCurrent")) || entry.contains(QStringLiteral("maxCurrent"))) {
                    const QString current = QStringLiteral("maxChargingCurrent");
                    if (!thing->hasState(current)) {
                        *error = QStringLiteral("%1: a %2 takes no current limits").arg(path, thingClass);
                        return false;
                    }
                    const StateType type = thing->thingClass().stateTypes().findByName(current);
                    const double minimum =
                            entry.value(QStringLiteral("minCurrent")).toDouble(type.minValue().toDouble());
                    const double maximum =
                            entry.value(QStringLiteral("maxCurrent")).toDouble(type.maxValue().toDouble());
                    if (minimum > maximum) {
                        *error = QStringLiteral("%1.minCurrent: above maxCurrent").arg(path);
                        return false;
                    }
                    thing->setStateMinMaxValues(current, minimum, maximum);
                }
                chargers.insert(id, thing);
            }
            if (kindName == QLatin1String("car") && entry.contains(QStringLiteral("charger"))) {
                const QString chargerId = entry.value(QStringLiteral("charger")).toString();
                Thing *charger = chargers.value(chargerId);
                if (!charger) {
                    *error = QStringLiteral("%1.charger: no charger has the id \"%2\"").arg(path, chargerId);
                    return false;
                }
                if (pluggedCars.contains(chargerId)) {
                    *error = QStringLiteral("%1.charger: %2 is plugged into \"%3\" already")
                                     .arg(path, pluggedCars.value(chargerId), chargerId);
                    return false;
                }
                pluggedCars.insert(chargerId, path);
                if (charger->hasState(QStringLiteral("connectedVehicleThingId")))
                    charger->setStateValue(QStringLiteral("connectedVehicleThingId"), thing->id().toString());
                if (charger->hasState(QStringLiteral("hlcSessionActive")))
                    charger->setStateValue(QStringLiteral("hlcSessionActive"), true);
                charger->setStateValue(QStringLiteral("pluggedIn"), true);
            }
        }
    }
    return true;
}

QString Household::priceVariable() const
{
    const QString provider =
            m_root.value(QStringLiteral("prices")).toObject().value(QStringLiteral("provider")).toString();
    if (provider.startsWith(QLatin1String("Energy-Charts")))
        return QStringLiteral("TAVRO_ENERGY_CHARTS_URL");
    return provider == QLatin1String("aWATTar DE") ? QStringLiteral("TAVRO_AWATTAR_DE_URL")
                                                   : QStringLiteral("TAVRO_AWATTAR_AT_URL");
}

bool Household::startPrices(QString *url, QString *error)
{
    url->clear();
    const QJsonObject prices = m_root.value(QStringLiteral("prices")).toObject();
    if (prices.contains(QStringLiteral("url"))) {
        *url = prices.value(QStringLiteral("url")).toString();
        return true;
    }
    if (!prices.contains(QStringLiteral("file")))
        return true;
    QString fileName = prices.value(QStringLiteral("file")).toString();
    if (QFileInfo(fileName).isRelative() && !m_directory.isEmpty())
        fileName = m_directory + QLatin1Char('/') + fileName;
    if (!QFileInfo(fileName).isReadable()) {
        *error = QStringLiteral("prices.file: cannot read %1").arg(fileName);
        return false;
    }
    m_priceServer = std::make_unique<PriceFileServer>(fileName);
    if (!m_priceServer->start()) {
        *error = QStringLiteral("prices.file: cannot serve it on 127.0.0.1: %1").arg(m_priceServer->errorString());
        return false;
    }
    *url = m_priceServer->baseUrl();
    return true;
}

bool Household::apply(JsonRpcServer *server, QString *error)
{
    if (!server->handler(QStringLiteral("TavroEnergy"))) {
        *error = QStringLiteral("No plugin serves the namespace TavroEnergy: the household's settings cannot be set");
        return false;
    }
    QString callError;
    if (hasPhaseLimit()) {
        const QVariantMap reply = server->call(
                QStringLiteral("TavroEnergy.SetPhasePowerLimit"),
                {{QStringLiteral("phasePowerLimit"), m_root.value(QStringLiteral("phaseLimit")).toInt()}}, &callError);
        if (energyError(reply) != QLatin1String("EnergyErrorNoError")) {
            *error = QStringLiteral("phaseLimit: refused: %1%2").arg(energyError(reply), callError);
            return false;
        }
    }

    const QJsonObject prices = m_root.value(QStringLiteral("prices")).toObject();
    if (!prices.isEmpty()) {
        const QString provider = prices.value(QStringLiteral("provider")).toString();
        QString providerId;
        const QVariantList providers =
                server->call(QStringLiteral("TavroEnergy.GetAvailableSpotMarketProviders"), {}, &callError)
                        .value(QStringLiteral("providers"))
                        .toList();
        for (const QVariant &each : providers) {
            if (each.toMap().value(QStringLiteral("name")).toString() == provider)
                providerId = each.toMap().value(QStringLiteral("providerId")).toString();
        }
        if (providerId.isEmpty()) {
            *error = QStringLiteral("prices.provider: the plugin offers no \"%1\"").arg(provider);
            return false;
        }
        const QVariantMap reply =
                server->call(QStringLiteral("TavroEnergy.SetSpotMarketConfiguration"),
                             {{QStringLiteral("enabled"), prices.value(QStringLiteral("enabled")).toBool(true)},
                              {QStringLiteral("providerId"), providerId}},
                             &callError);
        if (energyError(reply) != QLatin1String("EnergyErrorNoError")) {
            *error = QStringLiteral("prices: refused: %1%2").arg(energyError(reply), callError);
            return false;
        }
    }

    // Each car on its charger, keeping whatever else the owner configured.
    const QVariantList configurations =
            server->call(QStringLiteral("TavroEnergy.GetChargingConfigurations"), {}, &callError)
                    .value(QStringLiteral("chargingConfigurations"))
                    .toList();
    for (const auto &[path, car] : entries(m_root, kinds[2])) {
        if (!car.contains(QStringLiteral("charger")))
            continue;
        const QString chargerId =
                thingId(QStringLiteral("charger"), car.value(QStringLiteral("charger")).toString()).toString();
        const QString carId = thingId(QStringLiteral("car"), car.value(QStringLiteral("id")).toString()).toString();
        QVariantMap stored;
        for (const QVariant &each : configurations) {
            if (each.toMap().value(QStringLiteral("evChargerId")).toString() == chargerId)
                stored = each.toMap();
        }
        if (stored.value(QStringLiteral("assignedCarId")).toString() == carId)
            continue;
        const QVariantMap configuration{
                {QStringLiteral("evChargerId"), chargerId},
                {QStringLiteral("chargingMode"),
                 stored.value(QStringLiteral("chargingMode"), QStringLiteral("ChargingModeNormal"))},
                {QStringLiteral("assignedCarId"), carId}};
        const QVariantMap reply = server->call(QStringLiteral("TavroEnergy.SetChargingConfiguration"),
                                               {{QStringLiteral("chargingConfiguration"), configuration}}, &callError);
        if (energyError(reply) != QLatin1String("EnergyErrorNoError")) {
            *error = QStringLiteral("%1.charger: the plugin does not take this car on that charger: %2%3")
                             .arg(path, energyError(reply), callError);
            return false;
        }
    }
    return true;
}
