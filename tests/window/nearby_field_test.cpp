#include "window/nearby_field.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QTest>

#include "port/format.h"
#include "port/texts.h"
#include "session/address.h"
#include "window/window_fixture.h"

namespace tovrin::testing {
namespace {

KeyHash Key(uint8_t byte) {
  KeyHash key;
  key.fill(byte);
  return key;
}

TEST(NearbyCompletions, MarkPairedPeersAndWarnOfAPairedNameWithAnotherKey) {
  const auto peer = [](std::string name, std::optional<KeyHash> key, std::string address) {
    return NearbyPeer{name, name, address, 10000, key, 3, "eth0"};
  };
  const std::vector<PeerStore::Entry> paired{{Key(1), "2026-01-01", "alice@desk"}};
  const std::vector<CompletionRow> rows = CompletionRows(
      {peer("alice@desk", Key(1), "10.0.0.1"), peer("alice@desk", Key(2), "10.0.0.2"),
       peer("bob", std::nullopt, "10.0.0.3")},
      paired);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].fill, "10.0.0.1:10000");
  EXPECT_EQ(rows[0].text, "✓  alice@desk  10.0.0.1:10000");
  EXPECT_EQ(rows[1].text, "⚠  alice@desk  10.0.0.2:10000");
  EXPECT_EQ(rows[2].text, "   bob  10.0.0.3:10000");
  EXPECT_FALSE(rows[0].tip.isEmpty() || rows[1].tip.isEmpty());
  EXPECT_NE(rows[0].tip, rows[1].tip);
  EXPECT_TRUE(rows[2].tip.isEmpty());
}

// The last addresses typed, newest first and bounded, follow the nearby peers unless one of
// them fills the same; the own address (which waits) and what names nothing are not kept.
TEST(NearbyCompletions, TheLastAddressesTypedFollowTheNearbyPeers) {
  QStringList history;
  for (int i = 0; i < ADDRESS_HISTORY + 2; ++i) {
    history = Remembered(history, QString(" 10.0.0.%1 ").arg(i), "10.0.0.99");
  }
  for (const char* typed : {"10.0.0.5", "", "10.0.0.99:10001", "no address!"}) {
    history = Remembered(history, typed, "10.0.0.99");
  }
  EXPECT_EQ(history, (QStringList{"10.0.0.5", "10.0.0.11", "10.0.0.10", "10.0.0.9", "10.0.0.8",
                                  "10.0.0.7", "10.0.0.6", "10.0.0.4", "10.0.0.3", "10.0.0.2"}));
  const std::vector<CompletionRow> rows =
      MergedRows({{"✓  alice  10.0.0.1", "10.0.0.1", "paired"}}, {"10.0.0.7", "10.0.0.1"});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].fill, "10.0.0.7");
}

class NearbyFieldTest : public WindowTest {};

// Without a daemon the window says so once and runs on; the completions are offered on Down
// while no session runs, and picking one fills the field; announcing is a kept choice.
TEST_F(NearbyFieldTest, OffersCompletionsOnlyWhileIdleAndKeepsTheAnnounceChoice) {
  const std::vector<std::string> lines = Lines(window_->chat_log());
  const std::string prefix = FormatLine(text::NEARBY_UNAVAILABLE, "");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return line.starts_with(prefix); }),
            1);

  auto* field = window_->findChild<NearbyField*>("NEARBY_FIELD");
  ASSERT_NE(field, nullptr);
  auto* item = new QStandardItem("   carol  10.0.0.7:10001");
  item->setData("10.0.0.7:10001", Qt::UserRole);
  field->model()->appendRow(item);
  QAbstractItemView* popup = field->completer()->popup();

  app_->session.idle = 0;
  QTest::keyClick(window_->address(), Qt::Key_Down);
  EXPECT_FALSE(popup->isVisible());
  app_->session.idle = 1;
  QTest::keyClick(window_->address(), Qt::Key_Down);
  ASSERT_EVENTUALLY(popup->isVisible());
  popup->setCurrentIndex(field->completer()->completionModel()->index(0, 0));
  QTest::keyClick(popup, Qt::Key_Return);
  EXPECT_EQ(window_->address()->text(), "10.0.0.7:10001");

  // A connect started with a typed address offers it from then on, in later runs too.
  window_->address()->setText("127.0.0.9:1");
  window_->connect_button()->click();
  ASSERT_EQ(field->model()->rowCount(), 1);
  EXPECT_EQ(field->model()->item(0)->data(Qt::UserRole).toString(), "127.0.0.9:1");
  window_->disconnect_button()->click();
  Restart();
  field = window_->findChild<NearbyField*>("NEARBY_FIELD");
  ASSERT_EQ(field->model()->rowCount(), 1);
  EXPECT_EQ(field->model()->item(0)->text().trimmed(), "127.0.0.9:1");
  EXPECT_EQ(window_->address()->text().toStdString(), OwnAddress());

  EXPECT_TRUE(field->announce_action()->isChecked());
  EXPECT_TRUE(app_->session.options.announce);
  field->announce_action()->setChecked(false);
  EXPECT_FALSE(app_->session.options.announce);
  EXPECT_FALSE(OpenSettings().value("announce").toBool());
}

}  // namespace
}  // namespace tovrin::testing
