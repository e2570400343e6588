#include <cstring>
#include <memory>
#include <string>

#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "protocol/connection.h"
#include "protocol/frame.h"
#include "protocol/wire_text.h"
#include "session/lifecycle.h"
#include "session/session.h"
#include "workers/workers.h"

namespace tovrin {

namespace {

// Sends the field's text whenever the user presses Send; ends silently when a send fails.
void Chat(Session& s, Connection& connection, uint32_t attempt) {
  char buffer[HEADER_SIZE + MAX_TEXT];
  while (!s.Ended(attempt)) {
    if (s.chat_request.load() == 0) {
      s.WaitFor([&] { return s.chat_request.load() != 0 || s.Ended(attempt); }, IDLE_CHECK);
      continue;
    }
    // Reading the field and logging the line is one step on the UI thread, taken only while
    // this session lasts: once Teardown has run, the field holds the address again.
    std::string wire;
    s.port.RunOnUiThread([&] {
      if (s.Ended(attempt)) return;
      wire = ChatTextToWire(s.port.GetInputText());
      if (!wire.empty()) {
        s.port.AppendChatLog(FormatLine(text::kChatSent, Cp932ToUtf8Lossy(wire).c_str()));
      }
    });
    if (!wire.empty()) {
      const auto length = static_cast<int32_t>(wire.size() + 1);
      StoreHeader(FrameHeader{MSG_CHAT, 0, 0, length}, buffer);
      std::memcpy(buffer + HEADER_SIZE, wire.c_str(), wire.size() + 1);
      if (!connection.Send(buffer, HEADER_SIZE + length)) return;
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
                     s.chat_request.store(0);
                   });
}

}  // namespace tovrin
