#ifndef TRANSLATIONLOCATOR_H
#define TRANSLATIONLOCATOR_H

#include <QLocale>
#include <QStringList>

class QTranslator;

// Finds the plugin's translations (".qm" files) the way Qt programs do, so
// the owner's language works from the build tree and from an installation
// without any variable set. Folders, in this order:
// 1. the host's translations path (TAVRO_TRANSLATIONS_PATH overrides it);
// 2. "translations" beside the folder the plugin was loaded from (the build
//    tree keeps plugins/ and translations/ side by side);
// 3. the installed data folder, found relative to the plugin's folder, so a
//    tree installed under any prefix finds its own files;
// 4. the data folder of the prefix the build was configured for.
class TranslationLocator
{
public:
    // Existing folders only, without duplicates.
    static QStringList searchPaths();
    // Loads "<baseName>-<locale>.qm" (with Qt's fallbacks from "de_DE" to
    // "de") from the first folder that has it. False when none has.
    static bool load(QTranslator *translator, const QLocale &locale, const QString &baseName);

private:
    // The folder of the library or executable this code was linked into.
    static QString moduleDirectory();
};

#endif // TRANSLATIONLOCATOR_H
