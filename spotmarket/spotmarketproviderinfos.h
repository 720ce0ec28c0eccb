#ifndef SPOTMARKETPROVIDERINFOS_H
#define SPOTMARKETPROVIDERINFOS_H

#include <QList>
#include <QMetaType>
#include <QVariant>

#include "spotmarket/spotmarketproviderinfo.h"

class SpotMarketProviderInfos : public QList<SpotMarketProviderInfo>
{
    Q_GADGET
    Q_PROPERTY(int count READ count)

public:
    SpotMarketProviderInfos() = default;
    SpotMarketProviderInfos(const QList<SpotMarketProviderInfo> &other);

    // An index outside the list gives an invalid QVariant.
    Q_INVOKABLE QVariant get(int index) const;
    // Appends the info held by the variant; a variant that cannot be
    // converted appends a default info.
    Q_INVOKABLE void put(const QVariant &variant);
};
Q_DECLARE_METATYPE(SpotMarketProviderInfos)

#endif // SPOTMARKETPROVIDERINFOS_H
