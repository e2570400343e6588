#include "window/batch_prompt.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLocale>
#include <QStringList>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdint>

#include "port/format.h"
#include "window/translation.h"

namespace tovrin {
namespace {

// The first names of a batch the prompt lists; the rest are counted.
constexpr size_t SHOWN_NAMES = 8;
// Longest peer name and file name shown, in characters.
constexpr int NAME_LIMIT = 60;

QLabel* PlainLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(parent);
  // The peer chose these words: never read as rich text.
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  return label;
}

}  // namespace

QString PeerText(const std::string& text, int limit) {
  const QString shown = QString::fromStdString(EscapeControls(text));
  if (shown.size() <= limit) return shown;
  return shown.left(limit - 1) + QChar(0x2026);
}

QString BatchHeadline(const IncomingBatch& batch) {
  return Tr("%1 がファイルを送ろうとしています").arg(PeerText(batch.peer, NAME_LIMIT));
}

QString BatchDetails(const IncomingBatch& batch) {
  if (!batch.announced) {
    return Tr(
        "この相手は送るファイルを前もって知らせられません。\n答えはこの接続の間ずっと有効です。");
  }
  QLocale locale;
  // Thousands grouped also where the locale (C) would leave them out.
  locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
  const auto bytes = static_cast<qint64>(std::min<uint64_t>(batch.bytes, INT64_MAX));
  return Tr("ファイル数: %1 · 合計: %2")
      .arg(locale.toString(static_cast<qulonglong>(batch.files)),
           locale.formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat));
}

BatchPrompt::BatchPrompt(QWidget* parent, const IncomingBatch& batch) : QDialog(parent) {
  setObjectName("IDD_BATCH_PROMPT");
  // A window of its own, also in the task bar while the main window is in the tray; its size
  // is fixed, so it has nothing to maximise.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
  setWindowModality(Qt::NonModal);
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(Tr("ファイルの受信"));
  auto* layout = new QVBoxLayout(this);
  QLabel* headline = PlainLabel(BatchHeadline(batch), this);
  QFont bold = headline->font();
  bold.setBold(true);
  headline->setFont(bold);
  layout->addWidget(headline);
  QLabel* details = PlainLabel(BatchDetails(batch), this);
  details->setObjectName("IDC_BATCH_DETAILS");
  layout->addWidget(details);

  QStringList names;
  const size_t shown = std::min(batch.names.size(), SHOWN_NAMES);
  for (size_t i = 0; i < shown; ++i) names << "  " + PeerText(batch.names[i], NAME_LIMIT);
  if (batch.names.size() > shown) {
    names << "  " +
                 Tr("ほか %1 件").arg(QLocale().toString(qulonglong(batch.names.size() - shown)));
  }
  if (!names.isEmpty()) {
    layout->addWidget(
        PlainLabel(batch.announced ? Tr("含まれるもの:") : Tr("最初のファイル:"), this));
    QLabel* list = PlainLabel(names.join('\n'), this);
    list->setObjectName("IDC_BATCH_NAMES");
    layout->addWidget(list);
  }

  auto* buttons = new QDialogButtonBox(this);
  accept_ = buttons->addButton(Tr("受け取る"), QDialogButtonBox::AcceptRole);
  decline_ = buttons->addButton(Tr("断る"), QDialogButtonBox::RejectRole);
  accept_->setObjectName("IDC_ACCEPT");
  decline_->setObjectName("IDC_DECLINE");
  // Enter on a prompt that appeared under the user's typing declines.
  accept_->setAutoDefault(false);
  decline_->setDefault(true);
  decline_->setFocus();
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void BatchPrompt::done(int result) {
  // Taken first: the answer may withdraw this prompt.
  const auto answer = std::exchange(on_answer, nullptr);
  QDialog::done(result);
  if (answer) answer(result == QDialog::Accepted);
}

void BatchPrompt::Withdraw() {
  on_answer = nullptr;
  close();
}

}  // namespace tovrin
