// A separate process that publishes a household's charging data on the
// system bus, so the client test talks to another process. Commands on
// stdin: "add" adds a charger, "remove" removes the first one, "quit" ends.

#include "householdfixture.h"

#include "dbus/energymanagerdbusinterface.h"

#include "tavro/thingmanager.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    HouseholdFixture household;
    Thing *first = household.addThing(QStringLiteral("evChargerAc"), QStringLiteral("Charger A"));
    household.addThing(QStringLiteral("evChargerAcBasic"), QStringLiteral("Charger B"));
    household.createManager();
    EnergyManagerDbusInterface dbusInterface(household.manager());
    if (!dbusInterface.isRegistered())
        return 2;
    std::printf("ready %s\n", qPrintable(first->id().toString()));
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &application, [&]() {
        char buffer[64] = {};
        const ssize_t size = read(STDIN_FILENO, buffer, sizeof(buffer) - 1);
        const QByteArray command = QByteArray(buffer, size > 0 ? int(size) : 0).trimmed();
        if (size <= 0 || command == "quit") {
            application.quit();
        } else if (command == "remove") {
            household.thingManager()->removeConfiguredThing(first->id());
        } else if (command == "add") {
            household.addThing(QStringLiteral("evChargerAcBasic"), QStringLiteral("Charger C"));
        }
    });
    return application.exec();
}
