#include "window/translation.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <memory>
#include <string>

#include "port/format.h"
#include "port/texts.h"
#include "window/main_window.h"
#include "window/my_wnd.h"

namespace tovrin::testing {
namespace {

// Back to the source texts whatever the test's outcome.
struct JapaneseAfterwards {
  ~JapaneseAfterwards() { RemoveTranslation(); }
};

TEST(TranslationTest, AnEnglishLocaleGetsAnEnglishWindowAndEveryOtherKeepsJapanese) {
  const JapaneseAfterwards restore;
  for (const char* name : {"ja_JP", "de_DE", "C"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(InstallTranslation(QLocale(name)));
    EXPECT_EQ(Tr(text::CONNECT).toStdString(), text::CONNECT);
    EXPECT_EQ(TranslateLine(QString::fromUtf8(text::RECEIVE_DONE)).toStdString(),
              text::RECEIVE_DONE);
  }
  ASSERT_TRUE(InstallTranslation(QLocale("en_GB")));

  auto app = std::make_unique<CMyWnd>("/data/in/");
  ASSERT_TRUE(app->Create(nullptr));
  MainWindow* w = app->main_window();
  // Short enough for the buttons' fixed width; the tooltips say it in full.
  EXPECT_EQ(w->connect_button()->text(), "Go");
  EXPECT_EQ(w->disconnect_button()->text(), "Stop");
  EXPECT_EQ(w->disconnect_button()->toolTip(), "Ends the connection");
  EXPECT_EQ(w->status()->text(), "Send/Recv");
  EXPECT_EQ(w->tabs()->bar()->tabText(3), "Receive log");
  EXPECT_EQ(w->chat_log()->lines()->Text(0), "Saving to [/data/in/]");
  EXPECT_EQ(w->send_list()->add_folder_action()->text(), "Add Folder...");
  EXPECT_EQ(w->recv_progress()->accessibleName(), "Receiving progress");
  EXPECT_EQ(w->subfolders()->accessibleName(), "Save per folder");
  app->port.SetConnectLabel(text::SEND);
  EXPECT_EQ(w->connect_button()->text(), "Send");

  // A line made from a fixed format keeps its values, wherever they stand; other lines,
  // a peer's chat among them, stay as they came.
  const std::pair<std::string, QString> lines[] = {
      {FormatLine(text::RECEIVING, "a] (1 bytes)/b.txt", 4096),
       "Receiving [a] (1 bytes)/b.txt] (4096 bytes)"},
      {FormatLine(text::RESUMING, 12), "(resuming from byte 12)"},
      {FormatLine(text::CONNECTING, -5), "Connecting... (port -5)"},
      {text::DISCONNECTED, "Disconnected"},
      {FormatLine(text::CHAT_RECEIVED, text::RECEIVE_DONE), "recv > 受信完了"},
      {text::RULE, "----------------"},
      {"受信中 [no size]", "受信中 [no size]"},
      {FormatLine(text::PEER_JUST_PAIRED, "K7Q2-M9XD-3FHA-PW6T"),
       "Peer's fingerprint: K7Q2-M9XD-3FHA-PW6T (paired now)"},
      // The peer's reason for refusing is a line of its own core.
      {FormatLine(text::REFUSED_BY_PEER, text::PAIRED_ONLY),
       "Refused by the peer: Only paired peers may connect"},
      {FormatLine(text::REFUSED_BY_PEER, "受信中"), "Refused by the peer: 受信中"},
      // So is the reason this side refused a connection, and OpenSSL's stays as it came.
      {FormatLine(text::CONNECTION_REFUSED, "127.0.0.2", text::PAIRED_ONLY),
       "Refused a connection [127.0.0.2]: Only paired peers may connect"},
      {FormatLine(text::CONNECTION_REFUSED, "127.0.0.2",
                  FormatLine(text::SECURE_FAILED_BECAUSE, "TLS handshake timed out").c_str()),
       "Refused a connection [127.0.0.2]: Cannot start encryption: TLS handshake timed out"}};
  for (const auto& [line, english] : lines) {
    EXPECT_EQ(TranslateLine(QString::fromStdString(line)), english) << line;
  }
  // Every line of sessions and pairing reads in English, whatever its value.
  for (const char* format :
       {text::EXTENDED_SESSION, text::CLASSIC_SESSION, text::ENCRYPTED_SESSION,
        text::OWN_FINGERPRINT, text::PEER_PAIRED, text::PEER_JUST_PAIRED, text::PEER_NOT_VERIFIED,
        text::PAIRING_CODE, text::PAIRING_FAILED, text::NO_PAIRING_WAITING, text::NO_CODE_SHOWN, text::TAMPERED,
        text::SECURE_FAILED, text::OPENING_TIMED_OUT, text::PAIRED_ONLY, text::REFUSED_BY_PEER,
        text::NO_IDENTITY, text::SECURE_FAILED_BECAUSE, text::CONNECTION_REFUSED,
        text::CONNECTION_DROPPED, text::OPENINGS_FULL, text::ADDRESS_LIMIT, text::MADE_ROOM}) {
    const QString line = QString::fromUtf8(format).replace("%s", "ABCD-EFGH");
    const QString english = TranslateLine(line);
    EXPECT_TRUE(std::all_of(english.begin(), english.end(), [](QChar c) {
      return c.unicode() < 0x80;
    })) << english.toStdString();
    EXPECT_TRUE(english.contains("ABCD-EFGH") || !line.contains("ABCD-EFGH")) << format;
  }
  // Files that did not arrive whole, and the reason a session ended on a violation, which is
  // itself one of the core's lines.
  const std::pair<std::string, QString> transfer_lines[] = {
      {FormatLine(text::RECEIVE_ABORTED, "d/a.bin", 4LL),
       "Incomplete [d/a.bin] (4 bytes received)"},
      {FormatLine(text::SEND_ABORTED, "a.bin", 5LL), "Sending stopped [a.bin] (5 bytes sent)"},
      {FormatLine(text::RECEIVE_INCOMPLETE, 2), "Receiving finished (2 files not received)"},
      {FormatLine(text::CHANGED_RETRY, "log.txt"),
       "Changed while being sent, sending again [log.txt]"},
      {FormatLine(text::PEER_VIOLATION, FormatLine(text::WHY_BEYOND_SIZE, "a.bin").c_str()),
       "The peer broke the protocol: data beyond the offered size [a.bin]"},
      {FormatLine(text::PEER_VIOLATION, text::WHY_ORDER),
       "The peer broke the protocol: a message out of order"}};
  for (const auto& [line, english] : transfer_lines) {
    EXPECT_EQ(TranslateLine(QString::fromStdString(line)), english) << line;
  }
  app->port.AppendRecvLog(FormatLine(text::SENDING, "x", 1));
  EXPECT_EQ(w->recv_log()->lines()->Text(0), "Sending [x] (1 bytes)");
  app->Destroy();
  QCoreApplication::processEvents();
}

}  // namespace
}  // namespace tovrin::testing
