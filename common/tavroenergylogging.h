#ifndef TAVROENERGYLOGGING_H
#define TAVROENERGYLOGGING_H

#include <QLoggingCategory>

// The one logging category of the plugin, "TavroEnergy". Loading the library
// adds the name once to the host's list of known categories.
Q_DECLARE_LOGGING_CATEGORY(dcTavroEnergy)

#endif // TAVROENERGYLOGGING_H
