#ifndef SOLARPLANE_H
#define SOLARPLANE_H

#include <QDebug>
#include <QList>
#include <QMetaType>
#include <QString>

// One plane of the owner's PV array (a roof face), as the solar forecast
// service takes it. Degrees: latitude -90…90 (north positive), longitude
// -180…180 (east positive), declination 0 (flat) … 90 (vertical), azimuth
// -180…180 with 0 = south, -90 = east, 90 = west; kwp the installed peak
// power in kW (above 0, at most 1000). The optional horizon gives the
// elevation of the horizon (degrees 0…90) at evenly spread directions
// clockwise from north; empty: a free horizon. Setters store values
// unchanged; validationError() tells whether the service can be asked.
class SolarPlane
{
    Q_GADGET
    Q_PROPERTY(double latitude READ latitude WRITE setLatitude)
    Q_PROPERTY(double longitude READ longitude WRITE setLongitude)
    Q_PROPERTY(double declination READ declination WRITE setDeclination)
    Q_PROPERTY(double azimuth READ azimuth WRITE setAzimuth)
    Q_PROPERTY(double kwp READ kwp WRITE setKwp)
    Q_PROPERTY(QList<int> horizon READ horizon WRITE setHorizon USER true)

public:
    // At most this many horizon points.
    static constexpr int maximumHorizonPoints = 360;
    // Peak power of one plane, kW.
    static constexpr double maximumKwp = 1000.0;

    SolarPlane() = default;
    SolarPlane(double latitude, double longitude, double declination, double azimuth, double kwp);

    double latitude() const { return m_latitude; }
    void setLatitude(double latitude) { m_latitude = latitude; }
    double longitude() const { return m_longitude; }
    void setLongitude(double longitude) { m_longitude = longitude; }
    double declination() const { return m_declination; }
    void setDeclination(double declination) { m_declination = declination; }
    double azimuth() const { return m_azimuth; }
    void setAzimuth(double azimuth) { m_azimuth = azimuth; }
    double kwp() const { return m_kwp; }
    void setKwp(double kwp) { m_kwp = kwp; }
    QList<int> horizon() const { return m_horizon; }
    void setHorizon(const QList<int> &horizon) { m_horizon = horizon; }

    // Empty when every value lies in its range (numbers that are not finite
    // are out of every range); otherwise which value does not, readable.
    QString validationError() const;

    bool operator==(const SolarPlane &other) const;
    bool operator!=(const SolarPlane &other) const { return !operator==(other); }

private:
    double m_latitude = 0;
    double m_longitude = 0;
    double m_declination = 0;
    double m_azimuth = 0;
    double m_kwp = 0;
    QList<int> m_horizon;
};
Q_DECLARE_METATYPE(SolarPlane)

QDebug operator<<(QDebug debug, const SolarPlane &plane);

#endif // SOLARPLANE_H
