#pragma once

#include <QDialog>
#include <QPushButton>
#include <QString>
#include <functional>
#include <string>

#include "port/window_port.h"

namespace tovrin {

// A peer's text (a name, a file name) for a label or a notification: plain text with its
// control characters escaped, cut to `limit` characters with an ellipsis.
[[nodiscard]] QString PeerText(const std::string& text, int limit);
// "<peer> wants to send files", and what the batch holds in one line ("Files: 12 · Total:
// 3.4 GB") or, from a peer that cannot announce, what the answer means.
[[nodiscard]] QString BatchHeadline(const IncomingBatch& batch);
[[nodiscard]] QString BatchDetails(const IncomingBatch& batch);

// IDD_BATCH_PROMPT: asks whether to receive a batch, in a window of its own that leaves the
// main window usable: who sends it, how many files and bytes, and its top-level names (the
// first few). Decline is the default button and Escape's; closing the window declines too.
// It answers once, through on_answer, and deletes itself once closed; Withdraw closes it
// without an answer. UI thread only.
class BatchPrompt final : public QDialog {
  Q_OBJECT

 public:
  BatchPrompt(QWidget* parent, const IncomingBatch& batch);

  [[nodiscard]] QPushButton* accept_button() const { return accept_; }
  [[nodiscard]] QPushButton* decline_button() const { return decline_; }
  void Withdraw();

  std::function<void(bool accept)> on_answer;

  void done(int result) override;

 private:
  QPushButton* accept_;
  QPushButton* decline_;
};

}  // namespace tovrin
