#include "spotmarketproviderinfos.h"

SpotMarketProviderInfos::SpotMarketProviderInfos(const QList<SpotMarketProviderInfo> &other)
    : QList<SpotMarketProviderInfo>(other)
{
}

QVariant SpotMarketProviderInfos::get(int index) const
{
    if (index < 0 || index >= count())
        return QVariant();

    return QVariant::fromValue(at(index));
}

void SpotMarketProviderInfos::put(const QVariant &variant)
{
    append(variant.value<SpotMarketProviderInfo>());
}
