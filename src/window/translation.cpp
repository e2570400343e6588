#include "window/translation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "port/catalogue.h"

// Resources of the static window library are registered by hand, or the linker leaves them
// out: the macro has to be used outside any namespace.
static void LoadTranslationResources() { Q_INIT_RESOURCE(tovrin_i18n); }

namespace tovrin {
namespace {

constexpr char CONTEXT[] = "Tovrin";

QTranslator& Translator() {
  static QTranslator translator;
  return translator;
}

// Qt's own texts (the file dialogs, the standard buttons), in Japanese like the window's.
QTranslator& QtTranslator() {
  static QTranslator translator;
  return translator;
}

}  // namespace

bool InstallTranslation(const QLocale& locale) {
  LoadTranslationResources();
  RemoveTranslation();
  // Only a locale whose first language is English: a user who lists English second still
  // gets the source texts.
  const QStringList languages = locale.uiLanguages();
  if (languages.isEmpty() || !languages.first().startsWith(QLatin1String("en"))) {
    // Where the system has Qt's Japanese texts; without them Qt's dialogs stay English.
    if (QtTranslator().load(QStringLiteral("qtbase_ja"),
                            QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
      QCoreApplication::installTranslator(&QtTranslator());
    }
    return false;
  }
  UseCatalogue(ENGLISH);
  if (Translator().load(QStringLiteral(":/i18n/tovrin_en.qm"))) {
    QCoreApplication::installTranslator(&Translator());
  }
  return true;
}

void RemoveTranslation() {
  UseCatalogue(JAPANESE);
  QCoreApplication::removeTranslator(&Translator());
  QCoreApplication::removeTranslator(&QtTranslator());
}

QString Tr(const char* source) { return QCoreApplication::translate(CONTEXT, source); }

QString Tr(Text<> text) { return QString::fromUtf8(text.get()); }

}  // namespace tovrin
