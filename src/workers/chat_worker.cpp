#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "protocol/connection.h"
#include "protocol/frame.h"
#include "protocol/wire_text.h"
#include "session/session.h"
#include "ui/format.h"
#include "ui/texts.h"
#include "ui/window_port.h"
#include "workers/workers.h"

namespace tovrin {

namespace {

// The longest chat text on the wire, NUL excluded.
constexpr std::size_t kMaxChatBytes = MAX_TEXT - 1;

// Cuts cp932 text without splitting a two-byte character.
std::string CutCp932(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = 0;
  while (end < limit) {
    const std::size_t step = IsLeadByte(static_cast<unsigned char>(text[end])) ? 2 : 1;
    if (end + step > limit) break;
    end += step;
  }
  text.resize(end);
  return text;
}

// Sends the field's text whenever the user presses Send; ends silently when a send fails.
void Chat(Session& s, Connection& connection, uint32_t attempt) {
  char buffer[HEADER_SIZE + MAX_TEXT];
  while (s.idle.load() == 0) {
    if (s.chat_request.load() == 0) {
      s.WaitFor([&s] { return s.chat_request.load() != 0 || s.idle.load() != 0; },
                std::chrono::milliseconds(100));
      continue;
    }
    const std::string line = s.port.GetInputText();
    if (!line.empty()) {
      const std::string wire = CutCp932(Utf8ToCp932Lossy(line, '?'), kMaxChatBytes);
      s.port.AppendChatLog(FormatLine(text::kChatSent, line.c_str()));
      const int32_t length = static_cast<int32_t>(wire.size() + 1);
      StoreHeader(FrameHeader{MSG_CHAT, 0, 0, length}, buffer);
      std::memcpy(buffer + HEADER_SIZE, wire.c_str(), wire.size() + 1);
      if (!connection.Send(buffer, HEADER_SIZE + length)) return;
      // Emptied only while the session lasts: once it has ended, the field holds the
      // address again and must keep it.
      s.port.RunOnUiThread([&] {
        if (s.idle.load() == 0 && s.attempt.load() == attempt) s.port.SetInputText("");
      });
    }
    s.chat_request.store(0);
  }
}

}  // namespace

uint32_t ChatWorker(void* parameter) {
  std::unique_ptr<WorkerArgs> args(static_cast<WorkerArgs*>(parameter));
  Session& s = *args->session;
  if (args->connection) Chat(s, *args->connection, args->attempt);
  s.chat_request.store(0);
  s.chat_thread.Exit(0);
  return 0;
}

}  // namespace tovrin
