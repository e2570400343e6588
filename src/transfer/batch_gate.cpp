#include "transfer/batch_gate.h"

#include <algorithm>
#include <utility>

#include "port/catalogue.h"
#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "protocol/ext_text.h"
#include "protocol/frame.h"
#include "protocol/wire_text.h"
#include "storage/disk_room.h"
#include "transfer/connection.h"

namespace tovrin {
namespace {

// Questions are numbered across sessions, so a late answer never settles a newer one.
std::atomic<uint64_t> next_question{1};

constexpr uint64_t MEGABYTE = 1000000;
constexpr uint64_t MEBIBYTE = 1 << 20;

// What a batch may not take of a file system: 1 % of its size, at least 1 MiB, at most 64 MiB.
uint64_t Margin(uint64_t size) { return std::clamp<uint64_t>(size / 100, MEBIBYTE, 64 * MEBIBYTE); }

// The room of the file system that holds `path`, or the nearest folder above it that exists
// (the save folder is made when the first file arrives).
std::optional<DiskRoom> RoomFor(std::string path) {
  for (;;) {
    if (std::optional<DiskRoom> room = RoomAt(path.empty() ? "." : path)) return room;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || path.size() <= 1) return std::nullopt;
    path.resize(slash + 1);
  }
}

}  // namespace

BatchGate::BatchGate(Session& s, Connection& connection) : s_(s), connection_(connection) {}

BatchGate::~BatchGate() {
  if (answer_) s_.port.CloseBatchQuestion(question_);
}

const char* BatchGate::Announced(const char* payload, int length,
                                 const std::optional<std::string>& folder) {
  BatchAnnouncement batch;
  if (!ParseBatch(payload, length, batch)) return text::WHY_LAYOUT;
  if (batch_ == State::kAsking) return text::WHY_ORDER;
  files_ = batch.files;
  bytes_ = batch.bytes;
  s_.batch.recv_files_total.store(batch.files);
  s_.batch.recv_bytes_total.store(batch.bytes);
  Reason why;
  // A batch without files writes nothing: there is nothing to ask.
  const std::optional<bool> accept = batch.files == 0             ? true
                                     : NoRoom(batch, folder, why) ? false
                                                                  : Policy(why);
  if (accept) {
    batch_ = *accept ? State::kAccepted : State::kNone;
    Reply(*accept, why);
    return nullptr;
  }
  std::vector<std::string> names;
  names.reserve(batch.names.size());
  for (const std::string& name : batch.names) {
    names.push_back(EscapeControls(Utf8Lossy(name, '?')));
  }
  Ask(true, batch.files, batch.bytes, std::move(names));
  batch_ = State::kAsking;
  return nullptr;
}

void BatchGate::BatchEnded() {
  batch_ = State::kNone;
  s_.batch.recv_files_total.store(0);
  s_.batch.recv_bytes_total.store(0);
}

BatchGate::Verdict BatchGate::Offer(const std::string& first_name) {
  if (connection_.link().announces_batches()) {
    return batch_ == State::kAccepted ? Verdict::kCarry : Verdict::kBroken;
  }
  if (s_.options.accept.load() == AcceptPolicy::kAll) return Verdict::kCarry;
  switch (gate_) {
    case State::kAccepted:
      return Verdict::kCarry;
    case State::kDeclined:
      return Verdict::kRefuse;
    case State::kAsking:
      return Verdict::kHold;
    case State::kNone:
      break;
  }
  Reason why;
  const std::optional<bool> accept = Policy(why);
  if (!accept) {
    Ask(false, 0, 0, {EscapeControls(first_name)});
    gate_ = State::kAsking;
    return Verdict::kHold;
  }
  gate_ = *accept ? State::kAccepted : State::kDeclined;
  if (*accept) return Verdict::kCarry;
  Refuse(why);
  return Verdict::kRefuse;
}

bool BatchGate::Poll() {
  if (!answer_) return false;
  int answer = answer_->load();
  if (answer < 0) {
    if (std::chrono::steady_clock::now() < deadline_) return false;
    // The time is up, unless an answer comes first after all.
    answer = -1;
    if (answer_->compare_exchange_strong(answer, 0)) answer = -1;
  }
  const bool accepted = answer == 1;
  Reason why;
  if (!accepted) {
    const Text<> text = answer == 0 ? text::WHY_USER_DECLINED : text::WHY_NO_ANSWER;
    why = {text.get(), text.In(JAPANESE)};
  }
  answer_.reset();
  connection_.SetReadSlice(std::chrono::milliseconds(0));
  bool held = false;
  if (batch_ == State::kAsking) {
    batch_ = accepted ? State::kAccepted : State::kNone;
    Reply(accepted, why);
  } else {
    gate_ = accepted ? State::kAccepted : State::kDeclined;
    if (!accepted) Refuse(why);
    held = true;
  }
  s_.port.CloseBatchQuestion(question_);
  return held;
}

std::optional<bool> BatchGate::Policy(Reason& why) const {
  const bool paired = connection_.link().peer().paired;
  Text<> text = text::WHY_ACCEPTS_NONE;
  switch (s_.options.accept.load()) {
    case AcceptPolicy::kAll:
      return true;
    case AcceptPolicy::kAsk:
      if (paired && s_.options.accept_paired.load()) return true;
      return std::nullopt;
    case AcceptPolicy::kPaired:
      if (paired) return true;
      text = text::WHY_PAIRED_FILES_ONLY;
      break;
    case AcceptPolicy::kNone:
      break;
  }
  why = {text.get(), text.In(JAPANESE)};
  return false;
}

// The bytes still needed are the announced ones less what the folder the files land in
// already holds under the batch's top-level names (an estimate: the names are at most
// MAX_BATCH_NAMES, and a file held counts whether or not it is the one to come).
bool BatchGate::NoRoom(const BatchAnnouncement& batch, const std::optional<std::string>& folder,
                       Reason& why) const {
  const bool subfolders = s_.port.IsSubfoldersChecked();
  const std::string dir = s_.save_dir + (subfolders && folder ? *folder : std::string());
  const std::optional<DiskRoom> room = RoomFor(dir);
  if (!room) return false;
  std::vector<std::string> names;
  for (const std::string& name : batch.names) {
    if (std::optional<std::string> local = ExtNameToLocal(name)) names.push_back(std::move(*local));
  }
  const uint64_t needed = batch.bytes - BytesHeldBelow(dir, names, batch.bytes);
  const uint64_t margin = Margin(room->size);
  const uint64_t usable = room->free > margin ? room->free - margin : 0;
  if (needed <= usable) return false;
  const uint64_t needed_mb = needed / MEGABYTE + (needed % MEGABYTE != 0 ? 1 : 0);
  const auto n = static_cast<long long>(needed_mb);
  const auto m = static_cast<long long>(usable / MEGABYTE);
  why = {FormatLine(text::NO_ROOM, n, m), FormatCheckedLine(text::NO_ROOM.In(JAPANESE), n, m)};
  return true;
}

void BatchGate::Ask(bool announced, uint64_t files, uint64_t bytes,
                    std::vector<std::string> names) {
  question_ = next_question.fetch_add(1);
  answer_ = std::make_shared<std::atomic<int>>(-1);
  deadline_ = std::chrono::steady_clock::now() + s_.options.answer_limit;
  // The reader looks at the answer between its waits for the peer's bytes.
  connection_.SetReadSlice(IDLE_CHECK);
  IncomingBatch batch;
  batch.id = question_;
  batch.peer = connection_.link().peer().who;
  batch.announced = announced;
  batch.files = files;
  batch.bytes = bytes;
  batch.names = std::move(names);
  s_.port.AskIncomingBatch(batch, [answer = answer_](bool accept) {
    int none = -1;
    answer->compare_exchange_strong(none, accept ? 1 : 0);
  });
}

void BatchGate::Reply(bool accepted, const Reason& why) {
  if (!accepted) {
    s_.batch.recv_files_total.store(0);
    s_.batch.recv_bytes_total.store(0);
    s_.port.AppendRecvLog(FormatLine(text::BATCH_DECLINED, static_cast<long long>(files_),
                                     static_cast<long long>(bytes_), why.local.c_str()));
  }
  char message[HEADER_SIZE + MAX_BATCH_REASON];
  const int count = BuildBatchReply(message, accepted ? BATCH_ACCEPTED : BATCH_DECLINED,
                                    accepted ? "" : why.peer);
  // A connection that failed ends the session, which the reader finds.
  static_cast<void>(connection_.PostReplies(message, count, 1));
}

void BatchGate::Refuse(const Reason& why) {
  if (refusal_told_) return;
  refusal_told_ = true;
  s_.port.AppendRecvLog(FormatLine(text::PEER_FILES_REFUSED, why.local.c_str()));
  const std::string line =
      FormatCheckedLine(text::FILES_REFUSED_CHAT.In(JAPANESE), why.peer.c_str());
  const bool extended = connection_.link().extended();
  std::string wire = extended ? ExtChatText(line) : ChatTextToWire(line);
  std::vector<char> message(HEADER_SIZE + wire.size() + 1);
  const int count = BuildText(message.data(), extended ? MSG_EXT_CHAT : MSG_CHAT, wire);
  static_cast<void>(connection_.PostReplies(message.data(), count, 0));
}

}  // namespace tovrin
