#ifndef HOUSEHOLD_H
#define HOUSEHOLD_H

#include "typeutils.h"

#include <QJsonObject>
#include <QString>

#include <memory>

class JsonRpcServer;
class PriceFileServer;
class ThingManager;

// A household described in a JSON file, checked against the JSON Schema the
// host ships (household/household.schema.json): the grid meter, EV chargers,
// cars (and the charger each is plugged into), home batteries, PV, the phase
// limit and where the day-ahead prices come from.
//
// Every thing's id is derived from its kind and its "id" in the file, so it
// stays the same from one start to the next and the plugin finds its saved
// configuration again; its "name" is what the API shows.
//
// Use: load(), then (before the plugins are loaded) build() and
// startPrices(), then (once they are) apply().
class Household
{
public:
    Household();
    ~Household();

    // Reads and checks the file. False with *error naming the place: the
    // key path ("chargers[1].id: ...") or, for broken JSON, the line and
    // column.
    bool load(const QString &fileName, QString *error);
    bool loadJson(const QByteArray &json, QString *error);

    // Creates the things, plugged in as described. False with *error when
    // a thing cannot be made (an id used twice, a car on a charger that is
    // not there, a state the class does not have).
    bool build(ThingManager *thingManager, QString *error);

    // The base URL of the prices for the file's provider (a local server
    // for a price file, started here), empty when the file names none. The
    // caller hands it to the provider (TAVRO_AWATTAR_AT_URL, _DE_URL or
    // TAVRO_ENERGY_CHARTS_URL, see priceVariable()) before the plugins are
    // loaded.
    bool startPrices(QString *url, QString *error);
    QString priceVariable() const;

    // Through the plugins' API, as the owner would: the phase limit, the
    // price provider, each car assigned to its charger. False with *error.
    bool apply(JsonRpcServer *server, QString *error);

    bool hasPhaseLimit() const { return m_root.contains(QStringLiteral("phaseLimit")); }

    // The thing id for the file's id of a thing of that kind ("meter",
    // "charger", "car", "battery", "solar").
    static ThingId thingId(const QString &kind, const QString &id);

private:
    QJsonObject m_root;
    QString m_directory; // relative price files are found here
    std::unique_ptr<PriceFileServer> m_priceServer;
};

#endif // HOUSEHOLD_H
