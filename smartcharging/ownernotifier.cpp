#include "ownernotifier.h"
#include "translationlocator.h"

#include "common/tavroenergylogging.h"

#include "tavro/tavrosettings.h"
#include "tavro/thingmanager.h"

#include <QTranslator>
#include <QUrlQuery>

namespace {

const char *const translationContext = "SmartChargingManager";

}

void OwnerNotifier::push(const ThingId &evChargerId, const QLocale &locale, const char *title, const char *body,
                         const QStringList &arguments)
{
    QString titleText = QString::fromUtf8(title);
    QString bodyText = QString::fromUtf8(body);

    // Translated for the user of this charger, not for the host's own locale,
    // so the translator is used directly instead of being installed.
    QTranslator translator;
    const QString fileName = QStringLiteral("tavro-energy-plugin-tavro");
    // The texts are written in English: an English (or "C") owner needs no
    // translation, and a missing file for it is no fault worth a warning.
    const bool sourceLanguage = locale.language() == QLocale::English || locale.language() == QLocale::C;
    if (!sourceLanguage && TranslationLocator::load(&translator, locale, fileName)) {
        const QString translatedTitle = translator.translate(translationContext, title);
        if (!translatedTitle.isEmpty())
            titleText = translatedTitle;
        const QString translatedBody = translator.translate(translationContext, body);
        if (!translatedBody.isEmpty())
            bodyText = translatedBody;
    } else if (!sourceLanguage) {
        qCWarning(dcTavroEnergy()) << "Error loading translations for notification from:"
                                   << TavroSettings::translationsPath() + QLatin1Char('/') + fileName
                                              + QStringLiteral("-[") + locale.name() + QStringLiteral("].qm")
                                   << "also looked in" << TranslationLocator::searchPaths();
    }
    for (const QString &argument : arguments)
        bodyText = bodyText.arg(argument);

    QUrlQuery data;
    data.addQueryItem(QStringLiteral("open"), QStringLiteral("tavro.energy"));
    data.addQueryItem(QStringLiteral("thingId"), evChargerId.toString());

    const Things notificationThings =
            m_thingManager->configuredThings().filterByInterface(QStringLiteral("notifications"));
    for (Thing *notificationThing : notificationThings) {
        const ActionType notify = notificationThing->thingClass().actionTypes().findByName(QStringLiteral("notify"));
        if (notify.id().isNull())
            continue;
        ParamList params;
        params.append(Param(notify.paramTypes().findByName(QStringLiteral("title")).id(), titleText));
        params.append(Param(notify.paramTypes().findByName(QStringLiteral("body")).id(), bodyText));
        const ParamType dataType = notify.paramTypes().findByName(QStringLiteral("data"));
        if (dataType.isValid())
            params.append(Param(dataType.id(), data.toString()));
        Action action(notify.id(), notificationThing->id(), Action::TriggeredByRule);
        action.setParams(params);
        m_thingManager->executeAction(action);
    }
}
