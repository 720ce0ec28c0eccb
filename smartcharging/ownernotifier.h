#ifndef OWNERNOTIFIER_H
#define OWNERNOTIFIER_H

#include "tavro/thing.h"

#include <QLocale>
#include <QStringList>

class ThingManager;

// Tells the owner about a charger through every notification thing of the
// host. The thing manager is not owned.
class OwnerNotifier
{
public:
    explicit OwnerNotifier(ThingManager *thingManager)
        : m_thingManager(thingManager)
    {
    }

    // title and body are source texts of the context "SmartChargingManager",
    // translated for locale; the body's %1, %2, ... take the arguments.
    void push(const ThingId &evChargerId, const QLocale &locale, const char *title, const char *body,
              const QStringList &arguments = QStringList());

private:
    ThingManager *m_thingManager = nullptr;
};

#endif // OWNERNOTIFIER_H
