#pragma once

#include <QString>
#include <QStringList>

namespace Lumo {

// Installs the dialog's translation for the first of uiLanguages that names a language: Traditional
// Chinese for zh-TW, zh-HK, zh-MO and zh-Hant, the source texts (Simplified Chinese) for other
// Chinese, English for every other language; the source texts when none names one (C, POSIX, an
// empty list). Qt's own texts (message box buttons) follow, from Qt's installed translations.
// Returns the translation's name ("en", "zh_TW"), or empty for the source texts. GUI thread,
// after the application object exists; the translators live until the program ends.
QString installTranslation(const QStringList& uiLanguages);

// The user's UI languages from LANGUAGE, LC_ALL, LC_MESSAGES and LANG, most preferred first;
// empty in the C or POSIX locale when LANGUAGE is not set.
QStringList systemUiLanguages();

} // namespace Lumo
