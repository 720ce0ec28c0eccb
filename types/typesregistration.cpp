#include "typesregistration.h"

#include "types/chargingaction.h"
#include "types/chargingconfiguration.h"
#include "types/chargingschedule.h"
#include "types/chargingstate.h"
#include "types/scoreentries.h"
#include "types/scoreentry.h"
#include "types/solarforecastconfiguration.h"
#include "types/solarforecastslots.h"

#include <QList>
#include <QMetaType>
#include <QVariant>

void registerTavroEnergyTypes()
{
    static bool registered = false;
    if (registered)
        return;
    registered = true;

    qRegisterMetaType<ChargingConfiguration>("ChargingConfiguration");
    qRegisterMetaType<ChargingConfigurations>("ChargingConfigurations");
    qRegisterMetaType<ChargingState>("ChargingState");
    qRegisterMetaType<ChargingStates>("ChargingStates");
    qRegisterMetaType<ChargingAction>("ChargingAction");
    qRegisterMetaType<ChargingSchedule>("ChargingSchedule");
    qRegisterMetaType<ChargingSchedules>("ChargingSchedules");
    qRegisterMetaType<ScoreEntry>("ScoreEntry");
    qRegisterMetaType<ScoreEntries>("ScoreEntries");
    qRegisterMetaType<SolarPlane>("SolarPlane");
    qRegisterMetaType<SolarPlanes>("SolarPlanes");
    qRegisterMetaType<SolarForecastConfiguration>("SolarForecastConfiguration");
    qRegisterMetaType<SolarForecastSlot>("SolarForecastSlot");
    qRegisterMetaType<SolarForecastSlots>("SolarForecastSlots");
    qRegisterMetaType<QList<int>>("QList<int>");

    if (!QMetaType::hasRegisteredConverterFunction<QVariantList, QList<int>>()) {
        QMetaType::registerConverter<QVariantList, QList<int>>([](const QVariantList &list) {
            QList<int> values;
            values.reserve(list.count());
            for (const QVariant &value : list)
                values.append(value.toInt());
            return values;
        });
    }
}
