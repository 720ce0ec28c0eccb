#include "tavroenergylogging.h"

#include "tavro/loggingcategories.h"

Q_LOGGING_CATEGORY(dcTavroEnergy, "TavroEnergy")

namespace {
// Runs when the library is loaded, before any plugin object exists, so the
// host's logging configuration can switch the category on and off.
struct CategoryRegistration {
    CategoryRegistration()
    {
        QStringList &categories = tavroLoggingCategories();
        if (!categories.contains(QStringLiteral("TavroEnergy")))
            categories.append(QStringLiteral("TavroEnergy"));
    }
};
const CategoryRegistration registration;
}
