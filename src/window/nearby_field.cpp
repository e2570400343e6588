#include "window/nearby_field.h"

#include <QAbstractItemView>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSettings>
#include <algorithm>

#include "session/address.h"
#include "session/nearby_wait.h"
#include "transfer/session.h"
#include "window/main_window.h"
#include "window/my_wnd.h"
#include "window/translation.h"

namespace tovrin {
namespace {

constexpr char ANNOUNCE_KEY[] = "announce";
constexpr char ADDRESSES_KEY[] = "addresses";
// The model's role that holds what picking a row puts into the field.
constexpr int FILL_ROLE = Qt::UserRole;

}  // namespace

std::vector<CompletionRow> CompletionRows(const std::vector<NearbyPeer>& peers,
                                          const std::vector<PeerStore::Entry>& paired) {
  std::vector<CompletionRow> rows;
  for (const NearbyPeer& peer : peers) {
    CompletionRow row;
    row.fill = QString::fromStdString(peer.address) + ':' + QString::number(peer.port);
    QString mark = QStringLiteral("   ");
    switch (Standing(peer, paired)) {
      case NearbyStanding::kPaired:
        mark = QStringLiteral("✓  ");
        row.tip = Tr("ペアリング済みの相手");
        break;
      case NearbyStanding::kNameOfAnother:
        mark = QStringLiteral("⚠  ");
        row.tip = Tr("ペアリング済みの相手の名前ですが、鍵が違います");
        break;
      case NearbyStanding::kUnknown:
        break;
    }
    row.text = mark + QString::fromStdString(peer.name) + QStringLiteral("  ") + row.fill;
    rows.push_back(std::move(row));
  }
  return rows;
}

QStringList Remembered(QStringList history, const QString& typed, const std::string& own) {
  const QString text = typed.trimmed();
  const std::string host = SplitAddress(text.toStdString()).host;
  if (text.isEmpty() || host == own || (!ParseIpv4(host) && !IsHostName(host))) return history;
  history.removeAll(text);
  history.prepend(text);
  while (history.size() > ADDRESS_HISTORY) history.removeLast();
  return history;
}

std::vector<CompletionRow> MergedRows(std::vector<CompletionRow> nearby,
                                      const QStringList& history) {
  const std::size_t listed = nearby.size();
  for (const QString& address : history) {
    const auto end = nearby.begin() + static_cast<std::ptrdiff_t>(listed);
    if (std::any_of(nearby.begin(), end,
                    [&](const CompletionRow& row) { return row.fill == address; })) {
      continue;
    }
    nearby.push_back({QStringLiteral("   ") + address, address, Tr("最近入力したアドレス")});
  }
  return nearby;
}

NearbyField::NearbyField(MainWindow* window, Session& session)
    : QObject(window),
      field_(window->address()),
      session_(session),
      model_(new QStandardItemModel(this)),
      completer_(new QCompleter(model_, this)),
      announce_(new QAction(Tr("近くの相手にこちらを知らせる"), window->chat_log())),
      history_(OpenSettings().value(ADDRESSES_KEY).toStringList()) {
  setObjectName("NEARBY_FIELD");
  completer_->setCompletionMode(QCompleter::UnfilteredPopupCompletion);
  // Not the field's own completer: that one would pop up at every key typed into the chat.
  completer_->setWidget(window->address());
  connect(completer_, qOverload<const QModelIndex&>(&QCompleter::activated), this,
          [this](const QModelIndex& index) {
            const QString fill = index.data(FILL_ROLE).toString();
            picked_.reset();
            for (const NearbyPeer& peer : peers_) {
              if (QString::fromStdString(peer.address) + ':' + QString::number(peer.port) == fill) {
                picked_ = peer;
              }
            }
            field_->setText(fill);
          });
  window->address()->installEventFilter(this);

  announce_->setObjectName("ANNOUNCE");
  announce_->setCheckable(true);
  window->chat_log()->addAction(announce_);
  announce_->setChecked(OpenSettings().value(ANNOUNCE_KEY, true).toBool());
  SetAnnouncing(session_, announce_->isChecked());
  connect(announce_, &QAction::toggled, this, [this](bool on) {
    SetAnnouncing(session_, on);
    OpenSettings().setValue(ANNOUNCE_KEY, on);
  });

  browser_ = std::make_unique<Browser>(
      [this] {
        QMetaObject::invokeMethod(
            this, [this] { Refresh(); }, Qt::QueuedConnection);
      },
      OwnNearby(session_));
  std::string reason;
  if (!browser_->Start(reason)) ReportNearbyUnavailable(session_, reason);
  Fill();
}

NearbyField::~NearbyField() { browser_.reset(); }

void NearbyField::Refresh() {
  browser_->SetOwn(OwnNearby(session_));
  const NearbyStatus status = browser_->Status();
  if (status.state == NearbyStatus::State::kUnavailable) {
    ReportNearbyUnavailable(session_, status.reason);
  }
  peers_ = browser_->Peers();
  Fill();
}

void NearbyField::Fill() {
  const std::vector<PeerStore::Entry> paired =
      session_.security.peers ? session_.security.peers->List() : std::vector<PeerStore::Entry>{};
  model_->clear();
  for (const CompletionRow& row : MergedRows(CompletionRows(peers_, paired), history_)) {
    auto* item = new QStandardItem(row.text);
    item->setData(row.fill, FILL_ROLE);
    item->setToolTip(row.tip);
    item->setEditable(false);
    model_->appendRow(item);
  }
  QAbstractItemView* popup = completer_->popup();
  if (popup->isVisible() && (model_->rowCount() == 0 || session_.idle.load() != 1)) popup->hide();
}

void NearbyField::Remember(const QString& typed) {
  const QStringList history = Remembered(history_, typed, OwnAddress());
  if (history == history_) return;
  history_ = history;
  OpenSettings().setValue(ADDRESSES_KEY, history_);
  Fill();
}

std::optional<KeyHash> NearbyField::PickedKeyFor(const QString& address_text) const {
  if (!picked_ || address_text != QString::fromStdString(picked_->address) + ':' +
                                      QString::number(picked_->port)) {
    return std::nullopt;
  }
  return PickedKey(*picked_);
}

void NearbyField::Offer() {
  if (session_.idle.load() != 1 || model_->rowCount() == 0) return;
  completer_->setCompletionPrefix(QString());
  completer_->complete();
}

bool NearbyField::eventFilter(QObject* watched, QEvent* event) {
  if (watched == field_) {
    if (event->type() == QEvent::FocusIn) {
      // Not when the focus comes back from the list itself or with the window.
      const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
      if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason) {
        QMetaObject::invokeMethod(
            this, [this] { Offer(); }, Qt::QueuedConnection);
      }
    } else if (event->type() == QEvent::KeyPress &&
               static_cast<QKeyEvent*>(event)->key() == Qt::Key_Down && session_.idle.load() == 1 &&
               model_->rowCount() > 0) {
      Offer();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace tovrin
