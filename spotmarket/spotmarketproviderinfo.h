#ifndef SPOTMARKETPROVIDERINFO_H
#define SPOTMARKETPROVIDERINFO_H

#include <QDebug>
#include <QLocale>
#include <QMetaType>
#include <QString>
#include <QUrl>
#include <QUuid>

// How a spot market data provider describes itself. The name doubles as the
// key of the provider's data in the cache file. The zone is the bidding zone
// the prices are for (e.g. "NL", "DE-LU"); the license is the line the
// source asks to be shown with its data (empty when it states none).
class SpotMarketProviderInfo
{
    Q_GADGET
    Q_PROPERTY(QUuid providerId MEMBER providerId CONSTANT)
    Q_PROPERTY(QString name MEMBER name CONSTANT)
    Q_PROPERTY(uint country READ countryCode CONSTANT)
    Q_PROPERTY(QUrl website MEMBER website CONSTANT)
    Q_PROPERTY(QString zone MEMBER zone CONSTANT)
    Q_PROPERTY(QString license MEMBER license CONSTANT)

public:
    QUuid providerId;
    QString name;
    QLocale::Country country = QLocale::Austria;
    QUrl website;
    QString zone;
    QString license;

private:
    uint countryCode() const;
};
Q_DECLARE_METATYPE(SpotMarketProviderInfo)

QDebug operator<<(QDebug debug, const SpotMarketProviderInfo &info);

#endif // SPOTMARKETPROVIDERINFO_H
