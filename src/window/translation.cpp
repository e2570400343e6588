#include "window/translation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QTranslator>
#include <vector>

#include "port/texts.h"

// Resources of the static window library are registered by hand, or the linker leaves them
// out: the macro has to be used outside any namespace.
static void LoadTranslationResources() { Q_INIT_RESOURCE(tovrin_i18n); }

namespace tovrin {
namespace {

constexpr char CONTEXT[] = "Tovrin";

// The core's fixed log lines that the window translates. The lines with sizes beyond 32 bits
// are matched by their shorter forms (kReceiving, kSending, kResuming).
constexpr const char* LINE_FORMATS[] = {text::WAITING,          text::INVALID_IP,
                                        text::CONNECTING,       text::CONNECTED,
                                        text::CONNECT_FAILED,    text::ACCEPT_FAILED,
                                        text::DISCONNECTED,     text::LISTEN_FAILED,
                                        text::SAVING_TO,         text::RECEIVING,
                                        text::CANNOT_CREATE,     text::RECEIVE_DONE,
                                        text::WRITE_FAILED,      text::CANNOT_OPEN,
                                        text::CANNOT_SEND,       text::EXISTS,
                                        text::SENDING,          text::RESUMING,
                                        text::SEND_DONE,         text::READ_FAILED,
                                        text::NAME_NOT_SENDABLE,  text::FOLDER_LINK_SKIPPED,
                                        text::TOO_LARGE,         text::EXTENDED_SESSION,
                                        text::CLASSIC_SESSION,   text::RESTARTING,
                                        text::VERIFY_RETRY,      text::VERIFY_FAILED,
                                        text::RECEIVE_ABORTED,   text::SEND_ABORTED,
                                        text::RECEIVE_INCOMPLETE, text::CHANGED_RETRY,
                                        text::CHANGED_FAILED,    text::NOT_DELIVERED,
                                        text::PEER_VIOLATION,    text::WHY_LENGTH,
                                        text::WHY_UNEXPECTED,    text::WHY_LAYOUT,
                                        text::WHY_ORDER,         text::WHY_TOO_MANY,
                                        text::WHY_BEYOND_SIZE,   text::WHY_SHORT,
                                        text::ENCRYPTED_SESSION, text::OWN_FINGERPRINT,
                                        text::PEER_PAIRED,       text::PEER_JUST_PAIRED,
                                        text::PEER_NOT_VERIFIED,  text::PAIRING_CODE,
                                        text::PAIRING_FAILED,    text::NO_PAIRING_WAITING, text::NO_CODE_SHOWN,
                                        text::TAMPERED,         text::SECURE_FAILED,
                                        text::OPENING_TIMED_OUT,  text::PAIRED_ONLY,
                                        text::REFUSED_BY_PEER,    text::NO_IDENTITY,
                                        text::SECURE_FAILED_BECAUSE, text::CONNECTION_REFUSED,
                                        text::CONNECTION_DROPPED, text::OPENINGS_FULL,
                                        text::ADDRESS_LIMIT,     text::MADE_ROOM,
                                        text::KEY_NOTICE,        text::KEY_UNUSABLE_REFUSED,
                                        text::PAIRING_NEEDS_ENCRYPTION, text::PEER_OLDER,
                                        text::PEER_NEWER};

// One printf format as a pattern: its text before the first conversion, and an expression
// that matches a whole line made from it, one group per conversion.
struct LinePattern {
  const char* source;
  QString prefix;
  QRegularExpression expression;
};

// The length of the conversion that starts at `format[i]` ('%'), or 0 for "%%".
qsizetype ConversionLength(const QString& format, qsizetype i) {
  qsizetype end = i + 1;
  static const QString flags = QStringLiteral("0123456789-+ #.lh");
  while (end < format.size() && flags.contains(format[end])) ++end;
  return end < format.size() && format[end] != '%' ? end - i + 1 : 0;
}

LinePattern MakePattern(const char* source) {
  const QString format = QString::fromUtf8(source);
  QString expression = "\\A";
  QString literal;
  QString prefix;
  bool in_prefix = true;
  for (qsizetype i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 >= format.size()) {
      literal += format[i];
      continue;
    }
    const qsizetype length = ConversionLength(format, i);
    if (length == 0) {
      literal += '%';
      ++i;
      continue;
    }
    if (in_prefix) prefix = literal;
    in_prefix = false;
    expression += QRegularExpression::escape(literal);
    literal.clear();
    expression += format[i + length - 1] == 's' ? "(.*)" : "(-?\\d+)";
    i += length - 1;
  }
  if (in_prefix) prefix = literal;
  expression += QRegularExpression::escape(literal) + "\\z";
  return {source, prefix, QRegularExpression(expression)};
}

const std::vector<LinePattern>& Patterns() {
  static const std::vector<LinePattern> patterns = [] {
    std::vector<LinePattern> made;
    for (const char* format : LINE_FORMATS) made.push_back(MakePattern(format));
    return made;
  }();
  return patterns;
}

// `format` with its conversions replaced, in order, by the captured values; translated
// themselves when `values_are_lines`.
QString Fill(const QString& format, const QRegularExpressionMatch& values, bool values_are_lines) {
  QString line;
  int next = 1;
  for (qsizetype i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 >= format.size()) {
      line += format[i];
      continue;
    }
    const qsizetype length = ConversionLength(format, i);
    if (length == 0) {
      line += '%';
      ++i;
      continue;
    }
    const QString value = values.captured(next++);
    line += values_are_lines ? TranslateLine(value) : value;
    i += length - 1;
  }
  return line;
}

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
  if (!Translator().load(QStringLiteral(":/i18n/tovrin_en.qm"))) return false;
  return QCoreApplication::installTranslator(&Translator());
}

void RemoveTranslation() {
  QCoreApplication::removeTranslator(&Translator());
  QCoreApplication::removeTranslator(&QtTranslator());
}

QString Tr(const char* source) { return QCoreApplication::translate(CONTEXT, source); }

QString TranslateLine(const QString& line) {
  for (const LinePattern& pattern : Patterns()) {
    if (!line.startsWith(pattern.prefix)) continue;
    const QString translated = Tr(pattern.source);
    // Without a translation the line is shown as the core wrote it.
    if (translated == QString::fromUtf8(pattern.source)) return line;
    const QRegularExpressionMatch match = pattern.expression.match(line);
    // The peer's reason for a refusal is one of the core's lines, written in the peer's
    // source language; so is the reason this side refused or closed a connection (the
    // address beside it matches no line and stays as it is), and the reason a violation of
    // the wire was found for.
    const bool values_are_lines = pattern.source == text::REFUSED_BY_PEER ||
                                  pattern.source == text::CONNECTION_REFUSED ||
                                  pattern.source == text::CONNECTION_DROPPED ||
                                  pattern.source == text::PEER_VIOLATION;
    if (match.hasMatch()) return Fill(translated, match, values_are_lines);
  }
  return line;
}

}  // namespace tovrin
