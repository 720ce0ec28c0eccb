#ifndef TAVROCLOCK_H
#define TAVROCLOCK_H

#include <QDateTime>

// The host's notion of "now". Everything that needs the current date-time
// asks here, so tests and the simulator can run the household on their own
// clock. Without a set time it is the system clock.
class TavroClock
{
public:
    static QDateTime currentDateTime();

    // Freezes the clock at dateTime (local time). An invalid date-time
    // returns to the system clock.
    static void setCurrentDateTime(const QDateTime &dateTime);
    static void reset();
    static bool isSimulated();
};

#endif // TAVROCLOCK_H
