#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <memory>
#include <string>

#include "secure/identity.h"

namespace tovrin {

// IDD_PEERS: the paired peers (IDC_PEERS: fingerprint, date of pairing, label) and this
// installation's own fingerprint (IDC_OWN_FINGERPRINT). IDC_FORGET forgets the selected peer
// in the store once the user confirmed it, and the list is read from the store again. UI thread
// only.
class PeersDialog final : public QDialog {
  Q_OBJECT

 public:
  PeersDialog(QWidget* parent, std::shared_ptr<PeerStore> peers,
              const std::string& own_fingerprint);

  [[nodiscard]] QTreeWidget* list() const { return list_; }
  [[nodiscard]] QPushButton* forget_button() const { return forget_; }

  // Reads the peers from the store and shows them; the selection goes.
  void Reload();

 private:
  void ForgetSelected();

  const std::shared_ptr<PeerStore> peers_;
  QTreeWidget* list_;
  QPushButton* forget_;
};

}  // namespace tovrin
