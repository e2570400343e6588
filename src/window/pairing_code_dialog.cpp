#include "window/pairing_code_dialog.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPointer>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "secure/pairing.h"
#include "window/translation.h"

namespace tovrin {

PairingCodeDialog::PairingCodeDialog(QWidget* parent, const std::string& fingerprint)
    : QDialog(parent), code_(new QLineEdit(this)) {
  setObjectName("IDD_PAIRING_CODE");
  setWindowTitle(Tr("ペアリング"));
  auto* prompt =
      new QLabel(Tr("相手にペアリングコードを表示してもらい、その%1桁のコードを入力してください。")
                     .arg(PAIRING_CODE_DIGITS),
                 this);
  auto* peer = new QLabel(Tr("相手の指紋: %1").arg(QString::fromStdString(fingerprint)), this);
  peer->setObjectName("IDC_PEER_FINGERPRINT");
  peer->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* hint =
      new QLabel(Tr("コードがなければペアリングせずに接続できます。相手は確認されません。"), this);

  code_->setObjectName("IDC_PAIRING_CODE");
  code_->setAccessibleName(Tr("ペアリングコード"));
  code_->setMaxLength(PAIRING_CODE_DIGITS);
  // ASCII digits only: \d would let other scripts' digits through.
  code_->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("[0-9]{0,%1}").arg(PAIRING_CODE_DIGITS)), code_));
  QFont digits = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  digits.setPointSizeF(font().pointSizeF() * 1.5);
  code_->setFont(digits);
  code_->setAlignment(Qt::AlignCenter);
  code_->setMinimumWidth(
      QFontMetrics(digits).horizontalAdvance(QString(PAIRING_CODE_DIGITS + 4, '0')));

  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(Tr("ペアリングする"), QDialogButtonBox::AcceptRole);
  unpaired_ = buttons->addButton(Tr("ペアリングせずに接続"), QDialogButtonBox::ActionRole);
  cancel_ = buttons->addButton(Tr("キャンセル"), QDialogButtonBox::RejectRole);
  ok_->setDefault(true);
  ok_->setEnabled(false);
  connect(code_, &QLineEdit::textChanged, this, [this] { ok_->setEnabled(IsPairingCode(Code())); });
  connect(buttons, &QDialogButtonBox::accepted, this, [this] {
    if (IsPairingCode(Code())) accept();
  });
  connect(unpaired_, &QPushButton::clicked, this, [this] { done(UNPAIRED); });
  // Esc and the close box reject the dialog too.
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(prompt);
  layout->addWidget(peer);
  layout->addWidget(code_, 0, Qt::AlignHCenter);
  layout->addWidget(hint);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  code_->setFocus();
}

std::string PairingCodeDialog::Code() const { return code_->text().toStdString(); }

std::optional<std::string> PairingCodeDialog::Ask(QWidget* parent, const std::string& fingerprint) {
  const QPointer<PairingCodeDialog> dialog = new PairingCodeDialog(parent, fingerprint);
  const int result = dialog->exec();
  // Deleted with its parent while it was open: the window is gone.
  if (dialog == nullptr) return std::nullopt;
  std::optional<std::string> answer;
  if (result == QDialog::Accepted) answer = dialog->Code();
  if (result == UNPAIRED) answer = std::string();
  delete dialog.data();
  return answer;
}

}  // namespace tovrin
