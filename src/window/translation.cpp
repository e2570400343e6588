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

bool Install(WindowLanguage language) {
  LoadTranslationResources();
  QCoreApplication::removeTranslator(&Translator());
  QCoreApplication::removeTranslator(&QtTranslator());
  if (language == WindowLanguage::kJapanese) {
    UseCatalogue(JAPANESE);
    // Where the system has Qt's Japanese texts; without them Qt's dialogs stay English.
    if (QtTranslator().load(QStringLiteral("qtbase_ja"),
                            QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
      QCoreApplication::installTranslator(&QtTranslator());
    }
    return false;
  }
  // Qt's own texts are English at the source.
  UseCatalogue(ENGLISH);
  if (Translator().load(QStringLiteral(":/i18n/tovrin_en.qm"))) {
    QCoreApplication::installTranslator(&Translator());
  }
  return true;
}

}  // namespace

WindowLanguage LanguageOfLocale(QStringView name) {
  // The language is what comes before the territory, the code set or the modifier.
  qsizetype end = 0;
  while (end < name.size() && name[end] != u'_' && name[end] != u'-' && name[end] != u'.' &&
         name[end] != u'@') {
    ++end;
  }
  return name.first(end).compare(u"ja", Qt::CaseInsensitive) == 0 ? WindowLanguage::kJapanese
                                                                  : WindowLanguage::kEnglish;
}

bool InstallTranslation(const QLocale& locale) {
  const QStringList languages = locale.uiLanguages();
  return Install(LanguageOfLocale(languages.isEmpty() ? QString() : languages.first()));
}

void RemoveTranslation() { (void)Install(WindowLanguage::kJapanese); }

QString Tr(const char* source) { return QCoreApplication::translate(CONTEXT, source); }

QString Tr(Text<> text) { return QString::fromUtf8(text.get()); }

}  // namespace tovrin
