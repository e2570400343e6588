#include "window/notices.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>
#include <utility>

#include "port/format.h"
#include "port/texts.h"
#include "window/main_window.h"
#include "window/translation.h"

namespace tovrin {
namespace {

// How much of a chat line a notification shows, in characters.
constexpr int CHAT_WORDS = 80;
constexpr char ACCEPT_ACTION[] = "accept";
constexpr char DECLINE_ACTION[] = "decline";
constexpr char OPEN_ACTION[] = "open";

// The first words of a chat line: cut after a whole word where there is one late enough.
QString FirstWords(const std::string& line) {
  const QString text = QString::fromStdString(EscapeControls(line)).simplified();
  if (text.size() <= CHAT_WORDS) return text;
  const qsizetype space = text.lastIndexOf(' ', CHAT_WORDS - 1);
  return text.left(space > CHAT_WORDS / 2 ? space : CHAT_WORDS - 1) + QChar(0x2026);
}

}  // namespace

Notices::Notices(MainWindow* window, DesktopNotifier* notifier)
    : QObject(window), window_(window), notifier_(notifier) {}

bool Notices::Away() const { return !window_->isActiveWindow(); }

void Notices::Ask(const IncomingBatch& batch, std::function<void(bool)> answer) {
  const uint64_t id = batch.id;
  Close(id);
  Question& question = questions_[id];
  question.answer = std::move(answer);
  if (Away()) {
    question.notice = notifier_->Show(
        BatchHeadline(batch), BatchDetails(batch),
        {{DesktopNotifier::DEFAULT_ACTION, Tr("表示")},
         {ACCEPT_ACTION, Tr("受け取る")},
         {DECLINE_ACTION, Tr("断る")}},
        [this, id](const QString& key) {
          if (key == ACCEPT_ACTION || key == DECLINE_ACTION) {
            Answer(id, key == ACCEPT_ACTION);
          } else if (key == DesktopNotifier::DEFAULT_ACTION) {
            window_->ShowAndRaise();
            if (BatchPrompt* open = prompt(id)) {
              open->raise();
              open->activateWindow();
            }
          }
        },
        true);
  }
  auto* dialog = new BatchPrompt(window_, batch);
  dialog->on_answer = [this, id](bool accept) { Answer(id, accept); };
  question.prompt = dialog;
  if (last_prompt_ != nullptr && last_prompt_->isVisible()) {
    dialog->move(last_prompt_->pos() + QPoint(32, 32));
  }
  last_prompt_ = dialog;
  dialog->show();
}

void Notices::Answer(uint64_t id, bool accept) {
  const auto found = questions_.find(id);
  if (found == questions_.end()) return;
  const auto answer = std::move(found->second.answer);
  Close(id);
  if (answer) answer(accept);
}

void Notices::Close(uint64_t id) {
  const auto found = questions_.find(id);
  if (found == questions_.end()) return;
  Question question = std::move(found->second);
  questions_.erase(found);
  notifier_->Close(question.notice);
  if (question.prompt != nullptr) question.prompt->Withdraw();
}

BatchPrompt* Notices::prompt(uint64_t id) const {
  const auto found = questions_.find(id);
  return found == questions_.end() ? nullptr : found->second.prompt.data();
}

void Notices::ChatLine(const std::string& text) {
  if (!Away()) return;
  chat_notice_ = notifier_->Show(
      window_->windowTitle(), FirstWords(text), {{DesktopNotifier::DEFAULT_ACTION, Tr("表示")}},
      [this](const QString&) { window_->ShowAndRaise(); }, false, chat_notice_);
}

void Notices::BatchReceived(uint64_t files, const std::string& folder) {
  if (!Away()) return;
  const QString summary =
      files == 1
          ? Tr(text::FILE_RECEIVED)
          : QString::fromStdString(FormatLine(text::FILES_RECEIVED, static_cast<long long>(files)));
  const QString path = QDir(QString::fromStdString(folder)).absolutePath();
  (void)notifier_->Show(
      summary, QString::fromStdString(EscapeControls(path.toStdString())),
      {{DesktopNotifier::DEFAULT_ACTION, Tr("表示")}, {OPEN_ACTION, Tr("フォルダを開く")}},
      [this, path](const QString& key) {
        if (key != OPEN_ACTION) {
          window_->ShowAndRaise();
        } else if (QFileInfo(path).isDir() && window_->open_url) {
          // Only a folder goes to the desktop, as from the receive log.
          (void)window_->open_url(QUrl::fromLocalFile(path));
        }
      });
}

}  // namespace tovrin
