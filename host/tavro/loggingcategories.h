#ifndef LOGGINGCATEGORIES_H
#define LOGGINGCATEGORIES_H

#include <QStringList>

// The host's list of known logging category names. Plugins append their own
// category once when they are loaded.
QStringList &tavroLoggingCategories();

#endif // LOGGINGCATEGORIES_H
