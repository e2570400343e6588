#include <cstring>
#include <memory>
#include <string>

#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "protocol/ext_text.h"
#include "protocol/extended.h"
#include "protocol/frame.h"
#include "protocol/wire_text.h"
#include "transfer/connection.h"
#include "transfer/session.h"
#include "transfer/workers.h"

namespace tovrin {

namespace {

// The field's text as the message for the peer: UTF-8 once the peer's hello has been read,
// else cp932. Empty when there is nothing to send.
struct Line {
  std::string wire;
  std::string shown;
};
Line TakeLine(const std::string& input, bool extended) {
  if (extended) {
    std::string text = ExtChatText(input);
    return {text, text};
  }
  std::string wire = ChatTextToWire(input);
  std::string shown = Cp932ToUtf8Lossy(wire);
  return {std::move(wire), std::move(shown)};
}

// Sends the field's text whenever the user presses Send; ends silently when a send fails.
void Chat(Session& s, Connection& connection, uint32_t attempt) {
  char buffer[HEADER_SIZE + MAX_EXT_CHAT + 1];
  while (!s.Ended(attempt)) {
    if (s.chat_request.load() == 0) {
      s.WaitFor([&] { return s.chat_request.load() != 0 || s.Ended(attempt); }, IDLE_CHECK);
      continue;
    }
    // Reading the field and logging the line is one step on the UI thread, taken only while
    // this session lasts: once Teardown has run, the field holds the address again.
    const bool extended = connection.link().extended();
    Line line;
    s.port.RunOnUiThread([&] {
      if (s.Ended(attempt)) return;
      line = TakeLine(s.port.GetInputText(), extended);
      if (!line.wire.empty()) s.port.AppendChatLog(FormatLine(text::CHAT_SENT, line.shown.c_str()));
    });
    if (!line.wire.empty()) {
      const int count = BuildText(buffer, extended ? MSG_EXT_CHAT : MSG_CHAT, line.wire);
      if (!connection.Send(buffer, count)) return;
      s.port.RunOnUiThread([&] {
        if (!s.Ended(attempt)) s.port.SetInputText("");
      });
    }
    s.chat_request.store(0);
  }
}

}  // namespace

uint32_t ChatWorker(void* parameter) {
  return RunWorker(parameter, &Session::chat_thread, false,
                   [](Session& s, Connection& connection, uint32_t attempt) {
                     Chat(s, connection, attempt);
                     // A Send pressed for a newer session is that session's: only this
                     // session's request is cleared, in a UI step, so a Connect cannot fall
                     // between the look at the number and the store.
                     const bool ran = s.port.RunOnUiThread([&s, attempt] {
                       if (s.attempt.load() == attempt) s.chat_request.store(0);
                     });
                     if (!ran) s.chat_request.store(0);
                   });
}

}  // namespace tovrin
