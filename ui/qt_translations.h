#pragma once

#include <QString>

#include <cstdint>

class QCoreApplication;
class QTranslator;

// The window's language. Simplified Chinese is the default in every locale: the texts are written in it
// and need no translation; English comes from the translation built into the program.
enum class UiLanguage : std::uint8_t
{
    Chinese,
    English,
};

// VELTRANO_LANGUAGE: "en" (or "en_GB", "en-US" and the like) asks for English; anything else, unset
// included, leaves the window Chinese. The locale (LANG, LC_ALL) is not looked at.
UiLanguage LanguageFromName(const QString& name);
UiLanguage LanguageFromEnvironment();

// Puts every text of the window and Qt's own texts (standard buttons, file dialogs) in `language`; every
// open widget receives QEvent::LanguageChange. False when the window's English could not be loaded (the
// texts then stay Chinese); Qt's own translations missing from the system only leave Qt's texts English.
bool SetUiLanguage(UiLanguage language);
UiLanguage CurrentUiLanguage();
// The name of a language in that language, as the language menu shows it.
QString LanguageName(UiLanguage language);

// Qt's own texts in Chinese, from the translations installed with Qt (qt6-translations-l10n). The
// translator belongs to `app`; nullptr when the system has none, and Qt's own texts stay English.
QTranslator* InstallQtTranslations(QCoreApplication& app);
