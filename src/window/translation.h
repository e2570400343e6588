#pragma once

#include <QLocale>
#include <QString>
#include <QStringView>

#include "port/texts.h"

namespace tovrin {

// The window's language, chosen once as it starts: the core's texts come from the catalogue
// of that language (port/catalogue.h); the window's own widget texts are Japanese at the
// source and pass through Qt's translation system, which carries their English in the
// program's resources. Qt's own texts (file dialogs, standard buttons, context menus) follow
// the same language.

enum class WindowLanguage { kJapanese, kEnglish };

// The language for a locale's name, as the environment spells it ("ja_JP.UTF-8") or as Qt
// lists it ("ja-JP"): Japanese for Japanese, English for every other language, for the C and
// POSIX locales and for no name at all.
[[nodiscard]] WindowLanguage LanguageOfLocale(QStringView name);

// Installs the language of `locale`'s first language (QLocale::system() takes it from
// LANGUAGE, LC_ALL, LC_MESSAGES or LANG): English, or Japanese with Qt's Japanese texts where
// the system has them (Debian's qt6-translations-l10n). True when English was chosen. UI
// thread, before any session.
bool InstallTranslation(const QLocale& locale);
// Back to the Japanese window (for tests). UI thread, while no session runs.
void RemoveTranslation();

// A widget text of the window, in the window's language.
[[nodiscard]] QString Tr(const char* source);
// A text of the core's catalogue, in the window's language.
[[nodiscard]] QString Tr(Text<> text);

}  // namespace tovrin
