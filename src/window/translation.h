#pragma once

#include <QLocale>
#include <QString>

#include "port/texts.h"

namespace tovrin {

// The window's language, chosen once as it starts: the core's texts come from the catalogue
// of that language (port/catalogue.h); the window's own widget texts are Japanese at the
// source and pass through Qt's translation system, which carries their English in the
// program's resources.

// English when `locale` asks for English first (en_*): the English catalogue and the English
// widget texts. Any other language, and the C locale, keep the Japanese ones, and Qt's own
// dialogs speak Japanese too where the system has Qt's translations. True when English was
// chosen. UI thread, before any session.
bool InstallTranslation(const QLocale& locale);
// Back to the Japanese texts (for tests). UI thread, while no session runs.
void RemoveTranslation();

// A widget text of the window, in the window's language.
[[nodiscard]] QString Tr(const char* source);
// A text of the core's catalogue, in the window's language.
[[nodiscard]] QString Tr(Text<> text);

}  // namespace tovrin
