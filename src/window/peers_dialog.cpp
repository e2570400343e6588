#include "window/peers_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QMessageBox>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "port/format.h"
#include "port/texts.h"
#include "window/translation.h"

namespace tovrin {
namespace {

enum Column { kFingerprint, kPairedOn, kLabel, kColumns };

}  // namespace

PeersDialog::PeersDialog(QWidget* parent, std::shared_ptr<PeerStore> peers,
                         const std::string& own_fingerprint)
    : QDialog(parent), peers_(std::move(peers)), list_(new QTreeWidget(this)) {
  setObjectName("IDD_PEERS");
  setWindowTitle(Tr("ペアリング済みの相手"));
  auto* own = new QLabel(Tr("自分の指紋: %1").arg(QString::fromStdString(own_fingerprint)), this);
  own->setObjectName("IDC_OWN_FINGERPRINT");
  own->setTextInteractionFlags(Qt::TextSelectableByMouse);

  list_->setObjectName("IDC_PEERS");
  list_->setColumnCount(kColumns);
  list_->setHeaderLabels({Tr("指紋"), Tr("ペアリングした日"), Tr("相手")});
  list_->setRootIsDecorated(false);
  list_->setAllColumnsShowFocus(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->header()->setStretchLastSection(true);

  auto* buttons = new QDialogButtonBox(this);
  forget_ = buttons->addButton(Tr("忘れる"), QDialogButtonBox::ActionRole);
  forget_->setObjectName("IDC_FORGET");
  forget_->setToolTip(Tr("選んだ相手とのペアリングを解きます。次からはコードが必要です。"));
  forget_->setAutoDefault(false);
  QPushButton* close = buttons->addButton(Tr("閉じる"), QDialogButtonBox::RejectRole);
  close->setDefault(true);
  // Not the list: with the focus it would make its first row current, which looks chosen.
  close->setFocus();
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(forget_, &QPushButton::clicked, this, [this] { ForgetSelected(); });
  connect(list_, &QTreeWidget::itemSelectionChanged, this,
          [this] { forget_->setEnabled(!list_->selectedItems().isEmpty()); });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(own);
  layout->addWidget(list_);
  layout->addWidget(buttons);
  Reload();
  const QFontMetrics metrics(font());
  resize(std::max(sizeHint().width(), 56 * metrics.averageCharWidth()), 16 * metrics.height());
}

void PeersDialog::Reload() {
  list_->clear();
  for (const PeerStore::Entry& peer : peers_->List()) {
    auto* item = new QTreeWidgetItem(list_);
    item->setText(kFingerprint, QString::fromStdString(Fingerprint(peer.key_hash)));
    item->setText(kPairedOn, QString::fromStdString(peer.paired_on));
    // The label holds the name the peer gave (older entries: its program and address).
    item->setText(kLabel, QString::fromStdString(EscapeControls(peer.label)));
  }
  // Each column as wide as its widest text and a little room, so neighbours never touch.
  const int room = 2 * QFontMetrics(list_->font()).averageCharWidth();
  for (const int column : {kFingerprint, kPairedOn}) {
    list_->resizeColumnToContents(column);
    list_->setColumnWidth(column, list_->columnWidth(column) + room);
  }
  forget_->setEnabled(false);
}

void PeersDialog::ForgetSelected() {
  const QList<QTreeWidgetItem*> selected = list_->selectedItems();
  if (selected.isEmpty()) return;
  const QString fingerprint = selected.front()->text(kFingerprint);
  const QString label = selected.front()->text(kLabel);
  const QString peer = label.isEmpty() ? fingerprint : label + " (" + fingerprint + ')';
  // Forgetting cannot be undone without meeting again: No is the answer Enter gives.
  if (QMessageBox::question(
          this, windowTitle(),
          Tr("%1 とのペアリングを解きますか？次からはコードが必要です。").arg(peer),
          QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
    return;
  }
  if (peers_->Forget(fingerprint.toStdString()) < 0) {
    QMessageBox::warning(this, Tr(text::ERROR),
                         Tr("ペアリング済みの相手の記録を書き換えられません"));
  }
  Reload();
}

}  // namespace tovrin
