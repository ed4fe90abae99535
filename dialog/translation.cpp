#include "dialog/translation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

// The compiled translations live in a static library; this pulls them into the program. At file
// scope: the initializer is declared where Q_INIT_RESOURCE stands.
static void initTranslationResources()
{
    Q_INIT_RESOURCE(translations);
}

namespace {

// The dialog's language for one UI language ("en-US", "zh-Hant-TW", "zh_HK", "de" ...): "zh_TW"
// for Traditional Chinese, "source" for other Chinese (the source texts are Simplified), "en" for
// every other language; empty for the C and POSIX locales, which name no language.
QString translationFor(QString language)
{
    language.replace(QLatin1Char('_'), QLatin1Char('-'));
    const QStringList parts = language.toLower().split(QLatin1Char('.')).first().split(QLatin1Char('-'));
    if (parts.first().isEmpty() || parts.first() == QLatin1String("c") || parts.first() == QLatin1String("posix"))
        return QString();
    if (parts.first() != QLatin1String("zh"))
        return QStringLiteral("en");
    for (const QString& part : parts.mid(1)) {
        if (part == QLatin1String("hant") || part == QLatin1String("tw") || part == QLatin1String("hk") ||
            part == QLatin1String("mo"))
            return QStringLiteral("zh_TW");
    }
    return QStringLiteral("source");
}

QString qtTranslationsPath()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    return QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
}

// Qt's own texts (the message box's buttons) in the dialog's language: "zh_TW", "source" or "en".
void installQtTranslation(const QString& name)
{
    static QTranslator translator;
    QCoreApplication::removeTranslator(&translator);
    if (name == QLatin1String("en"))
        return; // Qt's source texts are English
    const QString file =
        name == QLatin1String("zh_TW") ? QStringLiteral("qtbase_zh_TW") : QStringLiteral("qtbase_zh_CN");
    if (translator.load(file, qtTranslationsPath()))
        QCoreApplication::installTranslator(&translator);
}

} // namespace

namespace Lumo {

QString installTranslation(const QStringList& uiLanguages)
{
    initTranslationResources();
    static QTranslator translator;
    QCoreApplication::removeTranslator(&translator);
    QString name = QStringLiteral("source");
    for (const QString& language : uiLanguages) {
        const QString chosen = translationFor(language);
        if (!chosen.isEmpty()) {
            name = chosen;
            break;
        }
    }
    installQtTranslation(name);
    if (name == QLatin1String("source"))
        return QString();
    if (translator.load(QStringLiteral(":/translations/crashui_%1.qm").arg(name)) &&
        QCoreApplication::installTranslator(&translator))
        return name;
    return QString();
}

QStringList systemUiLanguages()
{
    // gettext's order: LANGUAGE (a list), then the first of LC_ALL, LC_MESSAGES and LANG that is
    // set. The C and POSIX locales name no language: without LANGUAGE they keep the source texts.
    QByteArray locale = qgetenv("LC_ALL");
    if (locale.isEmpty())
        locale = qgetenv("LC_MESSAGES");
    if (locale.isEmpty())
        locale = qgetenv("LANG");
    const QString messages = QString::fromLocal8Bit(locale);
    if (translationFor(messages).isEmpty() && qEnvironmentVariableIsEmpty("LANGUAGE"))
        return {};
    QStringList languages = qEnvironmentVariable("LANGUAGE").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    languages << messages;
    return languages;
}

} // namespace Lumo
