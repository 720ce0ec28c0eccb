// Rewrites "energy.conf" in a loop until it is killed, for the test that kills
// a process in the middle of writing its settings. Every round stores the
// round number under "generation" and under each of 3000 padding keys (about
// 100 kB), so a file that is neither the old nor the new one shows as keys
// that are missing or disagree.
//
//   tavro-faults-settingswriter settings   through SettingsChange (the plugin's way)
//   tavro-faults-settingswriter direct     truncate and write in place (a
//                                          writer known to tear, for comparison)
// Prints "writing" once the first round is on disk.

#include "config/settingschange.h"

#include "tavro/tavrosettings.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

namespace {

const int paddingKeys = 3000;

void writeWithSettings(int generation)
{
    SettingsChange change;
    change.setValue(QStringLiteral("generation"), generation);
    for (int i = 0; i < paddingKeys; i++)
        change.setValue(QStringLiteral("Padding/key%1").arg(i, 4, 10, QLatin1Char('0')), generation);
    change.commit();
}

void writeDirectly(int generation)
{
    QFile file(TavroSettings::settingsPath() + QStringLiteral("/energy.conf"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    file.write("[General]\ngeneration=" + QByteArray::number(generation) + "\n\n[Padding]\n");
    for (int i = 0; i < paddingKeys; i++) {
        file.write("key" + QByteArray::number(i).rightJustified(4, '0') + "=" + QByteArray::number(generation) + "\n");
        // Line by line, as a careless writer would.
        file.flush();
    }
}

}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const bool direct = application.arguments().value(1) == QLatin1String("direct");
    for (int generation = 1;; generation++) {
        if (direct)
            writeDirectly(generation);
        else
            writeWithSettings(generation);
        if (generation == 1) {
            std::printf("writing\n");
            std::fflush(stdout);
        }
    }
}
