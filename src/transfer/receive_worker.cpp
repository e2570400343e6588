#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "protocol/ext_text.h"
#include "protocol/extended.h"
#include "protocol/frame.h"
#include "protocol/wire_text.h"
#include "transfer/batch_gate.h"
#include "transfer/connection.h"
#include "transfer/file_receiver.h"
#include "transfer/session.h"
#include "transfer/transfer_meter.h"
#include "transfer/workers.h"

namespace tovrin {

namespace {

// Room for several data messages: one recv takes whatever has arrived, so a 32 KiB chunk
// costs a fraction of a system call instead of two (header, then payload). With the
// extension on, room for several of its largest messages.
constexpr int READ_BUFFER_SIZE = 4 * MESSAGE_BUFFER_SIZE;
constexpr int EXTENDED_READ_BUFFER_SIZE = 4 * (HEADER_SIZE + MAX_EXT_PAYLOAD);
static_assert(READ_BUFFER_SIZE >= HEADER_SIZE + MAX_PAYLOAD, "a whole message must fit");

// Cuts the peer's stream into messages. Bytes are complemented once, as they arrive; a
// message is handed out only once all of it is in the buffer, in stream order, and nothing
// is ever received beyond the buffer's end.
class MessageReader final {
 public:
  // Runs before every wait for more bytes; false ends the reading.
  using BeforeWait = std::function<bool()>;

  // `extended`: extended types may carry up to MAX_EXT_PAYLOAD bytes.
  MessageReader(Connection& connection, bool extended, BeforeWait before_wait)
      : connection_(connection),
        before_wait_(std::move(before_wait)),
        size_(extended ? EXTENDED_READ_BUFFER_SIZE : READ_BUFFER_SIZE),
        extended_limit_(extended ? MAX_EXT_PAYLOAD : MAX_PAYLOAD),
        buffer_(new char[static_cast<size_t>(size_)]) {}
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  // The next message: its header, and its payload inside the reader's buffer, valid until
  // the next call. False when the connection ended, or when the header's length is no
  // message of ours (malformed(); its payload is then not read).
  [[nodiscard]] bool Next(FrameHeader& header, const char*& payload) {
    if (!Have(HEADER_SIZE)) return false;
    header = LoadHeader(buffer_.get() + start_);
    const int limit = IsExtendedType(header.type) ? extended_limit_ : MAX_PAYLOAD;
    if (header.length < 0 || header.length > limit) {
      malformed_ = true;
      return false;
    }
    const int size = HEADER_SIZE + header.length;
    if (!Have(size)) return false;
    payload = buffer_.get() + start_ + HEADER_SIZE;
    start_ += size;
    return true;
  }
  [[nodiscard]] bool malformed() const { return malformed_; }

 private:
  // Makes `count` (at most the buffer's size) bytes from start_ on available.
  bool Have(int count) {
    if (end_ - start_ >= count) return true;
    if (start_ == end_) start_ = end_ = 0;
    if (start_ + count > size_) {
      // The rest of a message lies at the end: move it to the front to make room.
      std::memmove(buffer_.get(), buffer_.get() + start_, static_cast<size_t>(end_ - start_));
      end_ -= start_;
      start_ = 0;
    }
    while (end_ - start_ < count) {
      if (!before_wait_()) return false;
      const int got = connection_.ReceiveSome(buffer_.get() + end_, size_ - end_);
      if (got == Connection::NOTHING_YET) continue;
      if (got <= 0) return false;
      end_ += got;
    }
    return true;
  }

  Connection& connection_;
  const BeforeWait before_wait_;
  const int size_;
  const int extended_limit_;
  std::unique_ptr<char[]> buffer_;  // only what arrives is ever touched
  int start_ = 0;                   // the first byte not handed out yet
  int end_ = 0;                     // one past the last byte received
  bool malformed_ = false;
};

// The peer's messages as the sender of its files: what counts as progress of its transfer.
bool IsPeerTransfer(int32_t type) {
  switch (type) {
    case MSG_FILE_OFFER:
    case MSG_FILE_SEEK:
    case MSG_FILE_DATA:
    case MSG_FILE_CLOSE:
    case MSG_FOLDER:
    case MSG_BATCH_DONE:
    case MSG_EXT_FOLDER:
    case MSG_EXT_QUEUE:
    case MSG_EXT_BATCH:
    case MSG_EXT_OFFER:
    case MSG_EXT_START:
    case MSG_EXT_DATA:
    case MSG_EXT_END:
      return true;
    default:
      return false;
  }
}

// The reading side of a session: carries out every message the peer sends.
class Receiver final {
 public:
  Receiver(Session& s, Connection& connection, uint32_t attempt)
      : s_(s),
        attempt_(attempt),
        link_(connection.link()),
        reader_(connection, link_.extended(), [this] { return BeforeWait(); }),
        meter_(s, TransferMeter::Direction::kReceive),
        files_(s, connection, meter_, current_folder_),
        gate_(s, connection) {}
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Reads until the connection fails or the peer breaks the format, which is logged once.
  // A length no message buffer could hold is no message of ours: the session ends. Files
  // still open are reported with what they hold.
  void Run() {
    FrameHeader header{};
    const char* payload = nullptr;
    while (reader_.Next(header, payload)) {
      if (Carry(header, payload)) continue;
      if (violation_.empty()) violation_ = files_.violation();
      break;
    }
    if (reader_.malformed()) violation_ = text::WHY_LENGTH.get();
    files_.ShowLog();
    if (!violation_.empty()) s_.ReportViolation(attempt_, violation_.c_str());
    files_.EndSession();
    s_.batch.peer_files.store(0);
  }

 private:
  // A violation of the wire: why, and false (the session is to end).
  bool Broken(const char* reason) {
    violation_ = reason;
    return false;
  }

  // False when the session is to end.
  bool Carry(const FrameHeader& h, const char* payload) {
    if (IsPeerTransfer(h.type)) s_.batch.peer_progress_ms.store(SteadyMilliseconds());
    // While the user is asked about a peer that cannot announce, its transfer waits in order.
    if (gate_.holding() && IsPeerTransfer(h.type) && h.type != MSG_EXT_QUEUE) {
      if (held_.size() >= MAX_HELD) return Broken(text::WHY_TOO_MANY);
      held_.push_back(Held{h, std::string(payload, static_cast<size_t>(h.length))});
      return true;
    }
    // Extended messages only from a peer whose first message was its hello, and only one
    // hello; the messages of the opening never come again. With the extension off they are
    // unknown types, dropped as a classic program drops them.
    if (IsExtendedType(h.type) && link_.own_version() > 0) {
      if (!link_.extended() || h.type == MSG_HELLO || h.type == MSG_AUTH ||
          h.type == MSG_AUTH_CONFIRM || h.type == MSG_AUTH_RESULT) {
        return Broken(text::WHY_UNEXPECTED);
      }
      const bool carried = CarryExtended(h, payload);
      s_.batch.peer_files.store(files_.files());
      return carried;
    }
    // The held log lines come before anything this message shows.
    files_.ShowLog();
    switch (h.type) {
      case MSG_NAME:
        s_.port.AppendChatLog(FormatLine(text::PEER_NAME, DisplayText(payload, h.length).c_str()));
        return true;
      case MSG_CHAT:
        ChatLine(DisplayText(payload, h.length));
        return true;
      case MSG_FILE_OFFER:
        return Admit(h, payload, DisplayText(payload, h.length));
      case MSG_FILE_SEEK:
      case MSG_FILE_DATA:
      case MSG_FILE_CLOSE: {
        const bool carried = files_.Carry(h, payload);
        s_.batch.peer_files.store(files_.files());
        return carried;
      }
      case MSG_FOLDER:
        current_folder_ = WireFolderToLocal(PayloadText(payload, h.length));
        return true;
      case MSG_BATCH_DONE: {
        const int failures = files_.TakeFailures();
        s_.port.AppendRecvLog(failures == 0 ? std::string(text::RECEIVE_DONE)
                                            : FormatLine(text::RECEIVE_INCOMPLETE, failures));
        // A classic session's lines stay as they have always been.
        if (link_.extended()) s_.port.AppendRecvLog(meter_.BatchSummary());
        if (failures == 0) s_.port.AskForAttention();
        const FileReceiver::Arrived arrived = files_.TakeArrived();
        if (arrived.files > 0) {
          s_.port.NotifyBatchReceived(static_cast<uint64_t>(arrived.files), arrived.folder);
        }
        gate_.BatchEnded();
        meter_.Reset();
        return true;
      }
      case MSG_OFFER_REPLY:
        // The answer to our one classic offer; in an extended session it answers nothing.
        return link_.extended() || Answer(h, payload);
      default:
        return true;  // read whole and dropped
    }
  }

  // Whatever the peer's messages so far asked for goes out before the reader waits for
  // more: our answers to its offers, and a wake-up for our send worker with its answers.
  bool BeforeWait() {
    files_.ShowLog();
    if (gate_.Poll() && !Release()) return false;
    if (answers_delivered_) {
      answers_delivered_ = false;
      s_.Notify();
    }
    return files_.PostAnswers();
  }

  bool CarryExtended(const FrameHeader& h, const char* payload) {
    std::string_view text;
    switch (h.type) {
      case MSG_EXT_CHAT:
        if (!ParseText(payload, h.length, MAX_EXT_CHAT + 1, text)) return Broken(text::WHY_LAYOUT);
        files_.ShowLog();
        ChatLine(Utf8Lossy(text, '?'));
        return true;
      case MSG_EXT_FOLDER:
        if (!ParseText(payload, h.length, MAX_EXT_TEXT, text)) return Broken(text::WHY_LAYOUT);
        current_folder_ = ExtFolderToLocal(text);
        return true;
      case MSG_EXT_QUEUE:
        if (h.length != 0 || (h.value != QUEUE_EMPTY && h.value != QUEUE_SENDING)) {
          return Broken(text::WHY_LAYOUT);
        }
        s_.batch.peer_queue.store(h.value);
        return true;
      case MSG_EXT_BATCH:
        if (!link_.announces_batches()) return Broken(text::WHY_UNEXPECTED);
        files_.ShowLog();
        if (const char* broken = gate_.Announced(payload, h.length, current_folder_)) {
          return Broken(broken);
        }
        return true;
      case MSG_EXT_REPLY:
      case MSG_EXT_DONE:
      case MSG_EXT_BATCH_REPLY:
        return Answer(h, payload);
      case MSG_EXT_OFFER: {
        ExtOffer offer;
        if (!ParseOffer(payload, h.length, offer)) return Broken(text::WHY_LAYOUT);
        return Admit(h, payload, Utf8Lossy(offer.name, '?'));
      }
      default:
        return files_.Carry(h, payload);
    }
  }

  // The peer's chat line, in the chat log and as news for a user who is away.
  void ChatLine(const std::string& line) {
    s_.port.AppendChatLog(FormatLine(text::CHAT_RECEIVED, line.c_str()));
    s_.port.AskForAttention();
    s_.port.NotifyChatLine(line);
  }

  // An offer of either wire, as the gate decides: carried, held for the user's answer,
  // refused, or the end of the session. `name` names the file in a question.
  bool Admit(const FrameHeader& h, const char* payload, const std::string& name) {
    switch (gate_.Offer(name)) {
      case BatchGate::Verdict::kCarry:
        break;
      case BatchGate::Verdict::kHold:
        return Carry(h, payload);
      case BatchGate::Verdict::kRefuse:
        return files_.Refuse(h, payload);
      case BatchGate::Verdict::kBroken:
        return Broken(text::WHY_ORDER);
    }
    const bool carried = files_.Carry(h, payload);
    s_.batch.peer_files.store(files_.files());
    return carried;
  }

  // The transfer held while the user was asked, carried now that the gate has its answer.
  bool Release() {
    std::deque<Held> held;
    held.swap(held_);
    for (const Held& message : held) {
      if (Carry(message.header, message.payload.data())) continue;
      if (violation_.empty()) violation_ = files_.violation();
      return false;
    }
    return true;
  }

  // The peer's answer to one of our offers or batches, on either wire, for the send worker.
  bool Answer(const FrameHeader& h, const char* payload) {
    PeerLink::Answer answer{h.type, h.handle, h.value, {}, {}};
    const bool well_formed = h.type == MSG_EXT_REPLY  ? ParseReply(payload, h.length, answer.reply)
                             : h.type == MSG_EXT_DONE ? h.length == 0
                             : h.type == MSG_EXT_BATCH_REPLY
                                 ? ParseBatchReply(h.value, payload, h.length, answer.reason)
                                 : true;
    if (!well_formed) return Broken(text::WHY_LAYOUT);
    if (!link_.Deliver(answer)) return Broken(text::WHY_ORDER);
    // A classic sender waits for its one answer: it is woken at once.
    if (h.type == MSG_OFFER_REPLY) {
      s_.Notify();
    } else {
      answers_delivered_ = true;
    }
    return true;
  }

  static std::string DisplayText(const char* payload, int length) {
    return Cp932ToUtf8Lossy(PayloadText(payload, length));
  }

  Session& s_;
  const uint32_t attempt_;
  PeerLink& link_;
  MessageReader reader_;
  TransferMeter meter_;
  std::optional<std::string> current_folder_ = std::string();
  FileReceiver files_;
  BatchGate gate_;
  // The peer's transfer while the gate asks the user, in order (copies of the messages).
  struct Held {
    FrameHeader header;
    std::string payload;
  };
  static constexpr std::size_t MAX_HELD = 4 * OFFER_WINDOW;
  std::deque<Held> held_;
  bool answers_delivered_ = false;  // the send worker is still to be woken for them
  std::string violation_;           // why the peer's last message ended the session
};

}  // namespace

uint32_t ReceiveWorker(void* parameter) {
  return RunWorker(parameter, &Session::recv_thread, true,
                   [](Session& s, Connection& connection, uint32_t attempt) {
                     Receiver receiver(s, connection, attempt);
                     receiver.Run();
                   });
}

}  // namespace tovrin
