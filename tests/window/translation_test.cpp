#include "window/translation.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
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

TEST(TranslationTest, AnEnglishLocaleGetsAnEnglishWindowAndEveryOtherKeepsJapanese) {
  const JapaneseAfterwards restore;
  for (const char* name : {"ja_JP", "de_DE", "C"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(InstallTranslation(QLocale(name)));
    EXPECT_EQ(Tr(text::CONNECT).toStdString(), text::CONNECT.In(JAPANESE));
    EXPECT_EQ(Tr("フォルダを開く"), "フォルダを開く");
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

  app->Destroy();
  QCoreApplication::processEvents();
}

}  // namespace
}  // namespace tovrin::testing
