#include "dialog/translation.h"

#include <QCoreApplication>
#include <QTranslator>

// The compiled translations live in a static library; this pulls them into the program. At file
// scope: the initializer is declared where Q_INIT_RESOURCE stands.
static void initTranslationResources()
{
    Q_INIT_RESOURCE(translations);
}

namespace {

// The translation for one UI language ("en-US", "zh-Hant-TW", "zh_HK" ...); empty when the source
// texts serve it (Simplified Chinese) or crashui does not speak it.
QString translationFor(QString language)
{
    language.replace(QLatin1Char('_'), QLatin1Char('-'));
    const QStringList parts = language.toLower().split(QLatin1Char('-'));
    if (parts.first() == QLatin1String("en"))
        return QStringLiteral("en");
    if (parts.first() != QLatin1String("zh"))
        return QString();
    for (const QString& part : parts.mid(1)) {
        if (part == QLatin1String("hant") || part == QLatin1String("tw") || part == QLatin1String("hk") ||
            part == QLatin1String("mo"))
            return QStringLiteral("zh_TW");
    }
    return QStringLiteral("source");
}

} // namespace

namespace Lumo {

QString installTranslation(const QStringList& uiLanguages)
{
    initTranslationResources();
    static QTranslator translator;
    QCoreApplication::removeTranslator(&translator);
    for (const QString& language : uiLanguages) {
        const QString name = translationFor(language);
        if (name.isEmpty())
            continue; // not spoken: the next preferred language
        if (name == QLatin1String("source"))
            return QString();
        if (translator.load(QStringLiteral(":/translations/crashui_%1.qm").arg(name)) &&
            QCoreApplication::installTranslator(&translator))
            return name;
        return QString();
    }
    return QString();
}

} // namespace Lumo
