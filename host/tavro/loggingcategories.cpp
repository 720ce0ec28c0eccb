#include "loggingcategories.h"

QStringList &tavroLoggingCategories()
{
    static QStringList categories{QStringLiteral("Application"), QStringLiteral("ThingManager"),
                                  QStringLiteral("JsonRpc"), QStringLiteral("EnergyManager")};
    return categories;
}
