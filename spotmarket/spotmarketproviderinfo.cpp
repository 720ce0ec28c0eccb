#include "spotmarketproviderinfo.h"

#include <QMetaEnum>

uint SpotMarketProviderInfo::countryCode() const
{
    return static_cast<uint>(country);
}

QDebug operator<<(QDebug debug, const SpotMarketProviderInfo &info)
{
    QDebugStateSaver saver(debug);
    const QMetaEnum countryEnum = QMetaEnum::fromType<QLocale::Country>();
    debug.nospace().noquote() << "SpotMarktProviderInfo(" << info.name << ", " << countryEnum.valueToKey(info.country)
                              << ", id: " << info.providerId.toString() << ")";
    return debug;
}
