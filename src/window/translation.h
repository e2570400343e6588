#pragma once

#include <QLocale>
#include <QString>

namespace tovrin {

// The window's texts are Japanese at the source and pass through Qt's translation system;
// the program carries an English translation in its resources.

// Installs the English translation when `locale` asks for English first (en_*); any other
// language, and the C locale, keep the Japanese texts, and Qt's own dialogs speak Japanese
// too where the system has Qt's translations. True when English was installed. UI thread.
bool InstallTranslation(const QLocale& locale);
// Back to the Japanese texts (for tests). UI thread.
void RemoveTranslation();

// A fixed text of the window or of the core, in the window's language.
[[nodiscard]] QString Tr(const char* source);

// A log line as the core wrote it, in the window's language: a line made from one of the
// core's fixed formats is written again from the translated format with the same values;
// any other line (a chat line, a rule) stays as it is.
[[nodiscard]] QString TranslateLine(const QString& line);

}  // namespace tovrin
