#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "port/format.h"
#include "port/texts.h"
#include "secure/identity.h"
#include "window/pairing_code_dialog.h"
#include "window/peers_dialog.h"
#include "window/window_fixture.h"

namespace tovrin::testing {
namespace {

KeyHash HashOf(uint8_t seed) {
  KeyHash hash{};
  for (std::size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(seed * 31 + i);
  return hash;
}

std::vector<std::string> ListedFingerprints(const QTreeWidget* list) {
  std::vector<std::string> shown;
  for (int row = 0; row < list->topLevelItemCount(); ++row) {
    shown.push_back(list->topLevelItem(row)->text(0).toStdString());
  }
  return shown;
}

TEST(PairingCodeDialogTest, TakesOnlyAWholeCodeOfAsciiDigits) {
  PairingCodeDialog dialog(nullptr, "K7Q2-M9XD-3FHA-PW6T");
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  EXPECT_TRUE(
      dialog.findChild<QLabel*>("IDC_PEER_FINGERPRINT")->text().contains("K7Q2-M9XD-3FHA-PW6T"));
  QTest::keyClicks(dialog.code_field(), "12a-3 ");
  // A full-width digit, as an input method gives it.
  QTest::sendKeyEvent(QTest::Click, dialog.code_field(), Qt::Key_unknown, QString::fromUtf8("４"),
                      Qt::NoModifier);
  QTest::keyClicks(dialog.code_field(), "4");
  EXPECT_EQ(dialog.Code(), "1234");
  EXPECT_FALSE(dialog.ok_button()->isEnabled());
  // Enter on a partial code does not close the dialog.
  QTest::keyClick(dialog.code_field(), Qt::Key_Return);
  EXPECT_TRUE(dialog.isVisible());
  QTest::keyClicks(dialog.code_field(), "567");
  EXPECT_EQ(dialog.Code(), "123456");
  EXPECT_TRUE(dialog.ok_button()->isEnabled());
  QTest::keyClick(dialog.code_field(), Qt::Key_Backspace);
  EXPECT_FALSE(dialog.ok_button()->isEnabled());
  QTest::keyClicks(dialog.code_field(), "0");
  QTest::keyClick(dialog.code_field(), Qt::Key_Return);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.Code(), "123450");
}

// The core asks through the port on the UI thread; the window's own dialog answers. Only the
// explicit button connects without pairing: Cancel, Esc and the close box give up.
TEST_F(WindowTest, TheCodeTypedIsTheAnswerAndOnlyTheExplicitButtonSkipsPairing) {
  const auto answer = [this](const std::function<void(PairingCodeDialog*)>& user) {
    QTimer::singleShot(0, window_, [this, user] {
      auto* dialog = window_->findChild<PairingCodeDialog*>();
      if (dialog == nullptr) {
        ADD_FAILURE() << "no pairing code dialog over the window";
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        return;
      }
      EXPECT_TRUE(dialog->isModal());
      QTest::keyClicks(dialog->code_field(), "654321");
      user(dialog);
    });
    return app_->port.AskPairingCode("AAAA-BBBB-CCCC-DDDD");
  };
  EXPECT_EQ(answer([](PairingCodeDialog* d) { d->ok_button()->click(); }), "654321");
  EXPECT_EQ(answer([](PairingCodeDialog* d) { d->unpaired_button()->click(); }), "");
  EXPECT_EQ(answer([](PairingCodeDialog* d) { d->cancel_button()->click(); }), std::nullopt);
  EXPECT_EQ(answer([](PairingCodeDialog* d) { QTest::keyClick(d->code_field(), Qt::Key_Escape); }),
            std::nullopt);
  // The close box: the window system asks the dialog to close.
  EXPECT_EQ(answer([](PairingCodeDialog* d) { d->close(); }), std::nullopt);
  // Each dialog goes with its answer.
  QCoreApplication::processEvents();
  EXPECT_EQ(window_->findChild<PairingCodeDialog*>(), nullptr);
}

TEST_F(WindowTest, StartsWithItsKeyAndForgetsTheSelectedPeer) {
  const std::shared_ptr<const Identity> identity = app_->session.security.identity;
  ASSERT_NE(identity, nullptr);
  ASSERT_NE(app_->session.security.peers, nullptr);
  EXPECT_TRUE(app_->session.security.ask_code);
  PeerStore store(config_.path());
  ASSERT_TRUE(store.Add(HashOf(1), "tovrin 10.0.0.1"));
  ASSERT_TRUE(store.Add(HashOf(2), "\u202Enivrot 10.0.0.2"));

  window_->peers_action()->trigger();
  auto* dialog = window_->findChild<PeersDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->findChild<QLabel*>("IDC_OWN_FINGERPRINT")->text().toStdString(),
            "自分の指紋: " + Fingerprint(identity->key_hash));
  QTreeWidget* list = dialog->list();
  EXPECT_EQ(ListedFingerprints(list),
            (std::vector<std::string>{Fingerprint(HashOf(1)), Fingerprint(HashOf(2))}));
  // The label (the name the peer gave) is shown in the order its characters have.
  EXPECT_EQ(list->topLevelItem(1)->text(2).toStdString(), "\\x202Enivrot 10.0.0.2");
  EXPECT_FALSE(dialog->forget_button()->isEnabled());

  // Forgetting asks first, naming the peer; Enter answers No and keeps it.
  list->setCurrentItem(list->topLevelItem(1));
  for (const bool yes : {false, true}) {
    QString asked;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      asked = box->text();
      yes ? box->button(QMessageBox::Yes)->click() : QTest::keyClick(box, Qt::Key_Return);
    });
    dialog->forget_button()->click();
    EXPECT_TRUE(asked.contains(QString::fromStdString(Fingerprint(HashOf(2))))) << yes;
    EXPECT_EQ(store.List().size(), yes ? 1u : 2u);
  }
  const std::vector<PeerStore::Entry> kept = store.List();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept.front().key_hash, HashOf(1));
  EXPECT_EQ(ListedFingerprints(list), (std::vector<std::string>{Fingerprint(HashOf(1))}));
  EXPECT_FALSE(dialog->forget_button()->isEnabled());
  dialog->close();
}

// A configuration folder that cannot be made: the window runs, unencrypted, and says why.
TEST(WindowKeyTest, WithoutAKeyTheWindowSaysSoAndHasNoPeers) {
  TempDir dir;
  WriteFile(dir.path() + "file", "");
  auto app = std::make_unique<CMyWnd>("/nonexistent/", dir.path() + "file/config");
  ASSERT_TRUE(app->Create(nullptr));
  MainWindow* w = app->main_window();
  const std::string prefix = FormatLine(text::NO_IDENTITY, "");
  // The save directory, the missing key, and the missing Avahi daemon of the tests.
  ASSERT_EQ(w->chat_log()->count(), 3);
  EXPECT_TRUE(w->chat_log()->lines()->Text(1).toStdString().starts_with(prefix));
  EXPECT_EQ(app->session.security.identity, nullptr);
  EXPECT_FALSE(w->peers_action()->isEnabled());
  app->Destroy();
  TakeQuits();
}

}  // namespace
}  // namespace tovrin::testing
