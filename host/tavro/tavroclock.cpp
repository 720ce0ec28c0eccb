#include "tavroclock.h"

namespace {
QDateTime &simulatedNow()
{
    static QDateTime now;
    return now;
}
}

QDateTime TavroClock::currentDateTime()
{
    const QDateTime &now = simulatedNow();
    return now.isValid() ? now : QDateTime::currentDateTime();
}

void TavroClock::setCurrentDateTime(const QDateTime &dateTime)
{
    simulatedNow() = dateTime;
}

void TavroClock::reset()
{
    simulatedNow() = QDateTime();
}

bool TavroClock::isSimulated()
{
    return simulatedNow().isValid();
}
