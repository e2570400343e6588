#pragma once

#include <QObject>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "port/window_port.h"
#include "window/batch_prompt.h"
#include "window/desktop_notifier.h"

namespace tovrin {

class MainWindow;

// What the window tells its user of what comes in: a prompt for each batch question, and
// desktop notifications while the main window is not active (a question with its answers,
// a received batch with its folder, the peer's chat line). UI thread only.
class Notices final : public QObject {
 public:
  Notices(MainWindow* window, DesktopNotifier* notifier);

  // Opens a prompt for `batch`, and a notification while the user is away; `answer` is
  // called at most once, with the first answer given in either.
  void Ask(const IncomingBatch& batch, std::function<void(bool accept)> answer);
  // Takes question `id`'s prompt and notification away, without an answer.
  void Close(uint64_t id);
  void ChatLine(const std::string& text);
  void BatchReceived(uint64_t files, const std::string& folder);

  // The open prompt of question `id`, or nullptr.
  [[nodiscard]] BatchPrompt* prompt(uint64_t id) const;

 private:
  struct Question {
    QPointer<BatchPrompt> prompt;
    uint64_t notice = 0;
    std::function<void(bool)> answer;
  };
  // Gives question `id` its answer, once, and takes it away.
  void Answer(uint64_t id, bool accept);
  [[nodiscard]] bool Away() const;

  MainWindow* window_;
  DesktopNotifier* notifier_;
  std::map<uint64_t, Question> questions_;
  // The prompt opened last: the next one opens a little below it, not over it.
  QPointer<BatchPrompt> last_prompt_;
  // The chat notification still shown: the next line replaces it.
  uint64_t chat_notice_ = 0;
};

}  // namespace tovrin
