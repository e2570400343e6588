#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <optional>
#include <string>

namespace tovrin {

// IDD_PAIRING_CODE: asks the connecting side's user for the pairing code the waiting side
// shows, naming the peer by its fingerprint. The field (IDC_PAIRING_CODE) takes decimal digits
// only, and OK is enabled only while it holds a whole code. Only the explicit "connect without
// pairing" button goes on unverified; Cancel, Esc and the close box give up the connection.
// UI thread only.
class PairingCodeDialog final : public QDialog {
  Q_OBJECT

 public:
  // The dialog's result when the user chose to connect without pairing.
  static constexpr int UNPAIRED = 2;

  PairingCodeDialog(QWidget* parent, const std::string& fingerprint);

  // The code typed so far.
  [[nodiscard]] std::string Code() const;
  [[nodiscard]] QLineEdit* code_field() const { return code_; }
  [[nodiscard]] QPushButton* ok_button() const { return ok_; }
  [[nodiscard]] QPushButton* unpaired_button() const { return unpaired_; }
  [[nodiscard]] QPushButton* cancel_button() const { return cancel_; }

  // Shows the dialog modally over `parent` and answers the code, "" when the user chose to
  // connect without pairing, or nullopt when the user cancelled or `parent` went away
  // meanwhile.
  [[nodiscard]] static std::optional<std::string> Ask(QWidget* parent,
                                                      const std::string& fingerprint);

 private:
  QLineEdit* code_;
  QPushButton* ok_;
  QPushButton* unpaired_;
  QPushButton* cancel_;
};

}  // namespace tovrin
