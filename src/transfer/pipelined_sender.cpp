#include "transfer/pipelined_sender.h"

#include <algorithm>

#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "protocol/ext_text.h"
#include "queue/send_queue.h"
#include "storage/storage.h"
#include "transfer/connection.h"
#include "transfer/session.h"
#include "transfer/transfer_meter.h"

namespace tovrin {
namespace {

// A batch of small messages leaves once it holds this much; a data chunk fills one alone.
constexpr int FLUSH_AT = 256 << 10;
// Room for a batch about to leave plus the largest message.
constexpr int BATCH_CAPACITY = FLUSH_AT + HEADER_SIZE + MAX_EXT_PAYLOAD;
// The largest small message: an offer with the longest name.
constexpr int MAX_SMALL_MESSAGE = HEADER_SIZE + EXT_OFFER_FIXED + MAX_EXT_TEXT;

}  // namespace

PipelinedSender::PipelinedSender(Session& s, Connection& connection, uint32_t attempt,
                                 TransferMeter& meter, std::optional<std::string>& announced)
    : s_(s),
      connection_(connection),
      link_(connection.link()),
      attempt_(attempt),
      meter_(meter),
      announced_(announced),
      batch_(new char[BATCH_CAPACITY]),
      held_log_(s.port, &WindowPort::AppendSendLog) {}

PipelinedSender::~PipelinedSender() {
  for (const Pending& p : window_) Close(p.file);
}

bool PipelinedSender::Ended() const { return s_.Ended(attempt_); }

bool PipelinedSender::Room(int count) { return used_ + count <= BATCH_CAPACITY || Flush(); }

bool PipelinedSender::Flush() {
  ShowLog();
  if (used_ == 0) return true;
  const bool sent = connection_.Send(batch_.get(), used_);
  used_ = 0;
  return sent;
}

bool PipelinedSender::Wait() {
  if (!Flush()) return false;
  s_.WaitFor([this] { return Ended() || link_.HasAnswers(); }, IDLE_CHECK);
  return true;
}

bool PipelinedSender::AnnounceQueue(int32_t state) {
  if (!Room(HEADER_SIZE)) return false;
  StoreHeader(FrameHeader{MSG_EXT_QUEUE, 0, state, 0}, Tail());
  used_ += HEADER_SIZE;
  return true;
}

void PipelinedSender::Undelivered() { s_.batch.undelivered.fetch_add(1); }

void PipelinedSender::Log(std::string line) { held_log_.Add(std::move(line)); }

void PipelinedSender::ShowLog() { held_log_.Show(); }

bool PipelinedSender::Offer(const QueuedItem& entry, int file) {
  return OfferOpen(Retry{entry, false, false}, file);
}

bool PipelinedSender::OfferOpen(const Retry& retry, int file) {
  const QueuedItem& entry = retry.entry;
  // Never sent under another name: the peer takes exactly this one or nothing.
  if (!IsSendableExtName(entry.item)) {
    Close(file);
    Log(FormatLine(text::NAME_NOT_SENDABLE, entry.item.c_str()));
    Undelivered();
    return true;
  }
  FileInfo info;
  if (file < 0 || !GetFileInfo(file, info)) {
    Close(file);
    Log(FormatLine(text::CANNOT_OPEN, entry.item.c_str()));
    Undelivered();
    return true;
  }
  if (!Room(2 * MAX_SMALL_MESSAGE)) {
    Close(file);
    return false;
  }
  if (!announced_ || *announced_ != entry.dir) {
    used_ += BuildText(Tail(), MSG_EXT_FOLDER, LocalToExtFolder(entry.dir));
    announced_ = entry.dir;
  }
  Pending p;
  p.entry = entry;
  p.id = next_id_++;
  p.file = file;
  p.size = info.size;
  p.mtime_ns = info.mtime_ns;
  p.resend = retry.resend;
  p.reoffered = retry.reoffered;
  const ExtOffer offer{info.size, info.mtime_ns, info.mode, entry.item};
  used_ += BuildOffer(Tail(), p.id, p.resend ? OFFER_FLAG_RESEND : 0, offer);
  window_.push_back(std::move(p));
  return used_ < FLUSH_AT || Flush();
}

bool PipelinedSender::Pump() {
  PeerLink::Answer answer;
  while (link_.Take(answer)) {
    const char* broken = answer.type == MSG_EXT_REPLY ? TakeReply(answer) : TakeDone(answer);
    if (broken != nullptr) {
      ShowLog();
      s_.ReportViolation(attempt_, broken);
      return false;
    }
  }
  for (Pending& p : window_) {
    if (p.state == Pending::State::kAnswered && !Stream(p)) return false;
  }
  while (!resends_.empty() && !Full()) {
    const Retry retry = resends_.front();
    resends_.pop_front();
    if (!OfferOpen(retry, OpenForRead(retry.entry.dir + retry.entry.item))) return false;
  }
  if (finished_ && Idle()) {
    finished_ = false;
    ShowLog();
    if (s_.queue.Count() == 0) return EndBatch();
  }
  return true;
}

// Replies come one per offer, in the order of the offers.
const char* PipelinedSender::TakeReply(const PeerLink::Answer& answer) {
  const auto it = std::find_if(window_.begin(), window_.end(), [](const Pending& p) {
    return p.state == Pending::State::kOffered;
  });
  if (it == window_.end() || it->id != answer.id) return text::WHY_ORDER;
  if (answer.value == OFFER_ACCEPTED) {
    it->state = Pending::State::kAnswered;
    it->reply = answer.reply;
    return nullptr;
  }
  if (answer.value != OFFER_REFUSED) return text::WHY_LAYOUT;
  Log(FormatLine(text::CANNOT_SEND, it->entry.item.c_str()));
  Undelivered();
  Close(it->file);
  window_.erase(it);
  finished_ = true;
  return nullptr;
}

const char* PipelinedSender::TakeDone(const PeerLink::Answer& answer) {
  const auto it = std::find_if(window_.begin(), window_.end(), [&](const Pending& p) {
    return p.id == answer.id && p.state == Pending::State::kStreamed;
  });
  if (it == window_.end()) return text::WHY_ORDER;
  const std::string& item = it->entry.item;
  switch (answer.value) {
    case DONE_VERIFIED:
      break;
    case DONE_DIFFERS:
      if (it->resend) {
        Log(FormatLine(text::VERIFY_FAILED, item.c_str()));
        Undelivered();
      } else {
        Log(FormatLine(text::VERIFY_RETRY, item.c_str()));
        resends_.push_back(Retry{it->entry, true, it->reoffered});
      }
      break;
    case DONE_NOT_STORED:
      // The peer could not write it (and said why in its own log), or we could not read on;
      // a source that changed was logged as it was found and goes once more.
      if (it->changed && !it->reoffered) {
        resends_.push_back(Retry{it->entry, it->resend, true});
        break;
      }
      if (!it->abandoned) Log(FormatLine(text::CANNOT_SEND, item.c_str()));
      Undelivered();
      break;
    default:
      return text::WHY_LAYOUT;
  }
  window_.erase(it);
  finished_ = true;
  return nullptr;
}

bool PipelinedSender::Changed(const Pending& p) {
  FileInfo now;
  return GetFileInfo(p.file, now) && (now.size != p.size || now.mtime_ns != p.mtime_ns);
}

bool PipelinedSender::HashPrefix(int file, int64_t length, FileHash& hash) {
  if (!Flush()) return false;
  for (int64_t offset = 0; offset < length;) {
    if (Ended()) return false;
    const int want = static_cast<int>(std::min<int64_t>(BATCH_CAPACITY, length - offset));
    const int got = ReadAt(file, batch_.get(), want, offset);
    if (got <= 0) return false;
    hash.Update(batch_.get(), static_cast<size_t>(got));
    offset += got;
  }
  return true;
}

// The peer holds `held` bytes and the hash of as much of them as the offer covered. Equal to
// the source's: on from there; otherwise the whole file again (the peer truncates).
bool PipelinedSender::Stream(Pending& p) {
  const std::string& item = p.entry.item;
  const int64_t held = p.reply.held;
  FileHash hash;
  int64_t offset = 0;
  bool restart = held > p.size;
  if (held > 0 && !restart) {
    if (!HashPrefix(p.file, held, hash)) {
      if (Ended()) return false;
      hash.Reset();
      restart = true;
    } else if (hash.Value() == p.reply.prefix) {
      offset = held;
    } else {
      hash.Reset();
      restart = true;
    }
  }
  if (offset == p.size && !restart) {
    Log(FormatLine(text::EXISTS, item.c_str()));
  } else {
    Log(FormatLine(text::SENDING_LONG, item.c_str(), static_cast<long long>(p.size)));
    if (offset > 0) {
      Log(FormatLine(text::RESUMING_LONG, static_cast<long long>(held)));
    }
    if (restart) Log(text::RESTARTING);
  }
  meter_.BeginFile(p.size);
  meter_.ResumeFrom(offset);
  if (!Room(HEADER_SIZE + EXT_START_SIZE)) return false;
  used_ += BuildStart(Tail(), p.id, offset);
  p.started = true;

  // Exactly the offered size: a source that ends before it, or whose size or time differs
  // once it has been read, changed while it was sent.
  bool abandoned = false;
  bool changed = false;
  while (offset < p.size) {
    p.sent = offset;
    if (Ended() || !Room(HEADER_SIZE + EXT_CHUNK_SIZE)) return false;
    const int want = static_cast<int>(std::min<int64_t>(EXT_CHUNK_SIZE, p.size - offset));
    const int got = ReadAt(p.file, Tail() + HEADER_SIZE, want, offset);
    if (got < 0) {
      Log(FormatLine(text::READ_FAILED, item.c_str()));
      abandoned = true;
      break;
    }
    if (got == 0) {
      changed = true;
      break;
    }
    hash.Update(Tail() + HEADER_SIZE, static_cast<size_t>(got));
    StoreHeader(FrameHeader{MSG_EXT_DATA, p.id, 0, got}, Tail());
    used_ += HEADER_SIZE + got;
    offset += got;
    meter_.Advance(got);
    if (used_ >= FLUSH_AT && !Flush()) return false;
  }
  p.sent = offset;
  if (Ended() || !Room(HEADER_SIZE + EXT_END_SIZE)) return false;
  if (!abandoned && (changed || Changed(p))) {
    changed = abandoned = true;
    Log(FormatLine(p.reoffered ? text::CHANGED_FAILED : text::CHANGED_RETRY, item.c_str()));
  }
  const ExtEnd end{offset, abandoned ? Digest{} : hash.Value()};
  used_ += BuildEnd(Tail(), p.id, abandoned ? END_ABANDONED : END_COMPLETE, end);
  Close(p.file);
  p.file = -1;
  p.state = Pending::State::kStreamed;
  p.abandoned = abandoned;
  p.changed = changed;
  return true;
}

bool PipelinedSender::EndBatch() {
  Log(text::SEND_DONE);
  if (!Room(HEADER_SIZE)) return false;
  StoreHeader(FrameHeader{MSG_BATCH_DONE, 0, 0, 0}, Tail());
  used_ += HEADER_SIZE;
  if (!Flush()) return false;
  meter_.Reset();
  return true;
}

std::vector<QueuedItem> PipelinedSender::TakeUnfinished() {
  std::vector<QueuedItem> unfinished;
  for (const Retry& retry : resends_) unfinished.push_back(retry.entry);
  for (Pending& p : window_) {
    Close(p.file);
    unfinished.push_back(p.entry);
    if (p.started) {
      Log(FormatLine(text::SEND_ABORTED, p.entry.item.c_str(), static_cast<long long>(p.sent)));
    }
  }
  resends_.clear();
  window_.clear();
  ShowLog();
  return unfinished;
}

}  // namespace tovrin
