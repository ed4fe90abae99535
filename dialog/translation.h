#pragma once

#include <QString>
#include <QStringList>

namespace Lumo {

// Installs the dialog's translation for the first of uiLanguages (QLocale::uiLanguages(), which
// honours LANGUAGE, LC_ALL, LC_MESSAGES and LANG) that crashui speaks: English, or Traditional
// Chinese (zh-TW, zh-HK, zh-MO, zh-Hant). Simplified Chinese and every other language keep the
// source texts. Returns the translation's name ("en", "zh_TW"), or empty for the source texts.
// GUI thread, after the application object exists; the translator lives until the program ends.
QString installTranslation(const QStringList& uiLanguages);

} // namespace Lumo
