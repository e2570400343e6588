#include "window/translation.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>

#include "port/catalogue.h"
#include "port/texts.h"
#include "window/main_window.h"
#include "window/my_wnd.h"

namespace tovrin::testing {
namespace {

// Back to the source texts whatever the test's outcome.
struct JapaneseAfterwards {
  ~JapaneseAfterwards() { RemoveTranslation(); }
};

TEST(TranslationTest, JapaneseLocalesGetJapaneseAndEveryOtherEnglish) {
  for (const char* name : {"ja_JP.UTF-8", "ja", "ja-JP", "JA_jp@euro"}) {
    EXPECT_EQ(LanguageOfLocale(QString::fromLatin1(name)), WindowLanguage::kJapanese) << name;
  }
  for (const char* name : {"fr_FR.UTF-8", "C", "C.UTF-8", "POSIX", "en_US", "", "jam_JM"}) {
    EXPECT_EQ(LanguageOfLocale(QString::fromLatin1(name)), WindowLanguage::kEnglish) << name;
  }
}

// The window's texts and Qt's own (a message box's buttons) follow the locale.
TEST(TranslationTest, AFrenchLocaleGetsAnEnglishWindowAndAJapaneseOneAJapaneseWindow) {
  const JapaneseAfterwards restore;
  const auto yes_button = [] {
    QMessageBox box(QMessageBox::Question, "", "", QMessageBox::Yes | QMessageBox::No);
    return box.button(QMessageBox::Yes)->text();
  };
  EXPECT_FALSE(InstallTranslation(QLocale("ja_JP")));
  EXPECT_EQ(Tr(text::CONNECT).toStdString(), text::CONNECT.In(JAPANESE));
  EXPECT_EQ(Tr("フォルダを開く"), "フォルダを開く");
  EXPECT_EQ(yes_button(), "はい(&Y)") << "Qt's translations (qt6-translations-l10n) are missing";
  ASSERT_TRUE(InstallTranslation(QLocale("fr_FR")));
  EXPECT_EQ(yes_button(), "&Yes");

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

  app->Destroy();
  QCoreApplication::processEvents();
}

}  // namespace
}  // namespace tovrin::testing
