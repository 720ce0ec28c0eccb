#ifndef REPORT_H
#define REPORT_H

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

class Simulation;

// What a run achieved, next to two references on the same household and
// prices: "baseline" (a plain charger at full power from plug-in until the
// car is full) and "limit" (perfect knowledge: all surplus the charger could
// absorb, the rest in the cheapest minutes before the deadline).
// Energies in kWh at the charger, costs in EUR at the spot price.
class Report
{
public:
    struct CarFigures {
        QString name;
        double energy = 0;
        double pvEnergy = 0;
        double gridEnergy = 0;
        double cost = 0;
        double socAtTarget = -1; // -1 without a target time
        double targetPercentage = 0;
        double finalSoc = 0;
        double dischargedEnergy = 0;  // kWh out of the car (bidirectional DC)
        double lowestSoc = 100;       // % while plugged in
        double largestSocError = -1;  // % |estimate - truth|, -1 for a car that reports its own level
    };
    struct Figures {
        QVector<CarFigures> cars;
        int minutesOverLimit[3] = {0, 0, 0};
        double largestOvershoot[3] = {0, 0, 0}; // A above the limit
        int longestRunOverLimit = 0;            // most minutes in a row over the limit, any phase
        int switches = 0;                       // on/off changes of all chargers
        int phaseSwitches = 0;
        double energyWhileBatteryLow = 0;       // kWh to cars while the home battery is below its lower limit
    };

    explicit Report(const Simulation &simulation);

    const Figures &plugin() const { return m_plugin; }
    const Figures &baseline() const { return m_baseline; }
    const Figures &limit() const { return m_limit; }

    QString table() const;
    // The scenario's expectations that did not hold, as readable lines.
    QStringList failedExpectations() const;

    bool writeCsv(const QString &fileName, QString *errorString) const;
    // Runs gnuplot on the CSV.
    bool writeChart(const QString &csvFileName, const QString &pngFileName, QString *errorString) const;

private:
    bool batteryLow(int recordIndex) const;
    void computePlugin();
    void computeBaseline();
    void computeLimit();

    const Simulation &m_simulation;
    Figures m_plugin;
    Figures m_baseline;
    Figures m_limit;
};

#endif // REPORT_H
