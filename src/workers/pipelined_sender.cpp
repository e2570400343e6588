#include "workers/pipelined_sender.h"

#include <algorithm>

#include "port/format.h"
#include "port/texts.h"
#include "port/transfer_meter.h"
#include "port/window_port.h"
#include "protocol/connection.h"
#include "protocol/ext_text.h"
#include "queue/send_queue.h"
#include "session/session.h"
#include "storage/storage.h"

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
      batch_(new char[BATCH_CAPACITY]) {}

PipelinedSender::~PipelinedSender() {
  for (const Pending& p : window_) Close(p.file);
}

bool PipelinedSender::Ended() const { return s_.Ended(attempt_); }

bool PipelinedSender::Room(int count) { return used_ + count <= BATCH_CAPACITY || Flush(); }

bool PipelinedSender::Flush() {
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

bool PipelinedSender::Offer(const QueuedItem& entry, int file) {
  return OfferOpen(entry, file, false);
}

bool PipelinedSender::OfferOpen(const QueuedItem& entry, int file, bool resend) {
  // Never sent under another name: the peer takes exactly this one or nothing.
  if (!IsSendableExtName(entry.item)) {
    Close(file);
    s_.port.AppendSendLog(FormatLine(text::NAME_NOT_SENDABLE, entry.item.c_str()));
    return true;
  }
  FileInfo info;
  if (file < 0 || !GetFileInfo(file, info)) {
    Close(file);
    s_.port.AppendSendLog(FormatLine(text::CANNOT_OPEN, entry.item.c_str()));
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
  p.resend = resend;
  const ExtOffer offer{info.size, info.mtime_ns, info.mode, entry.item};
  used_ += BuildOffer(Tail(), p.id, resend ? OFFER_FLAG_RESEND : 0, offer);
  window_.push_back(std::move(p));
  return used_ < FLUSH_AT || Flush();
}

bool PipelinedSender::Pump() {
  PeerLink::Answer answer;
  while (link_.Take(answer)) {
    if (!(answer.type == MSG_EXT_REPLY ? TakeReply(answer) : TakeDone(answer))) return false;
  }
  for (Pending& p : window_) {
    if (p.state == Pending::State::kAnswered && !Stream(p)) return false;
  }
  while (!resends_.empty() && !Full()) {
    const QueuedItem entry = resends_.front();
    resends_.pop_front();
    if (!OfferOpen(entry, OpenForRead(entry.dir + entry.item), true)) return false;
  }
  if (finished_ && Idle()) {
    finished_ = false;
    if (s_.queue.Count() == 0) return EndBatch();
  }
  return true;
}

// Replies come one per offer, in the order of the offers.
bool PipelinedSender::TakeReply(const PeerLink::Answer& answer) {
  const auto it = std::find_if(window_.begin(), window_.end(), [](const Pending& p) {
    return p.state == Pending::State::kOffered;
  });
  if (it == window_.end() || it->id != answer.id) return false;
  if (answer.value == OFFER_ACCEPTED) {
    it->state = Pending::State::kAnswered;
    it->reply = answer.reply;
    return true;
  }
  if (answer.value != OFFER_REFUSED) return false;
  s_.port.AppendSendLog(FormatLine(text::CANNOT_SEND, it->entry.item.c_str()));
  Close(it->file);
  window_.erase(it);
  finished_ = true;
  return true;
}

bool PipelinedSender::TakeDone(const PeerLink::Answer& answer) {
  const auto it = std::find_if(window_.begin(), window_.end(), [&](const Pending& p) {
    return p.id == answer.id && p.state == Pending::State::kStreamed;
  });
  if (it == window_.end()) return false;
  const std::string& item = it->entry.item;
  switch (answer.value) {
    case DONE_VERIFIED:
      break;
    case DONE_DIFFERS:
      if (it->resend) {
        s_.port.AppendSendLog(FormatLine(text::VERIFY_FAILED, item.c_str()));
      } else {
        s_.port.AppendSendLog(FormatLine(text::VERIFY_RETRY, item.c_str()));
        resends_.push_back(it->entry);
      }
      break;
    case DONE_NOT_STORED:
      // The peer could not write it (and said why in its own log), or we could not read on.
      if (!it->abandoned) s_.port.AppendSendLog(FormatLine(text::CANNOT_SEND, item.c_str()));
      break;
    default:
      return false;
  }
  window_.erase(it);
  finished_ = true;
  return true;
}

bool PipelinedSender::HashPrefix(int file, int64_t length, FileHash& hash) {
  if (!Flush()) return false;
  for (int64_t offset = 0; offset < length;) {
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
    s_.port.AppendSendLog(FormatLine(text::EXISTS, item.c_str()));
  } else {
    s_.port.AppendSendLog(
        FormatLine(text::SENDING_LONG, item.c_str(), static_cast<long long>(p.size)));
    if (offset > 0) {
      s_.port.AppendSendLog(FormatLine(text::RESUMING_LONG, static_cast<long long>(held)));
    }
    if (restart) s_.port.AppendSendLog(text::RESTARTING);
  }
  meter_.BeginFile(p.size);
  meter_.SetPosition(offset);
  if (!Room(HEADER_SIZE + EXT_START_SIZE)) return false;
  used_ += BuildStart(Tail(), p.id, offset);

  // Read to the end, also when the file grew since the offer. A short read of a regular file
  // is its end.
  bool abandoned = false;
  for (bool more = true; more && !Ended();) {
    if (!Room(HEADER_SIZE + EXT_CHUNK_SIZE)) return false;
    const int got = ReadAt(p.file, Tail() + HEADER_SIZE, EXT_CHUNK_SIZE, offset);
    if (got < 0) {
      s_.port.AppendSendLog(FormatLine(text::READ_FAILED, item.c_str()));
      abandoned = true;
      break;
    }
    if (got == 0) break;
    more = got == EXT_CHUNK_SIZE;
    hash.Update(Tail() + HEADER_SIZE, static_cast<size_t>(got));
    StoreHeader(FrameHeader{MSG_EXT_DATA, p.id, 0, got}, Tail());
    used_ += HEADER_SIZE + got;
    offset += got;
    meter_.Advance(got);
    if (used_ >= FLUSH_AT && !Flush()) return false;
  }
  if (Ended() || !Room(HEADER_SIZE + EXT_END_SIZE)) return false;
  const ExtEnd end{offset, abandoned ? Digest{} : hash.Value()};
  used_ += BuildEnd(Tail(), p.id, abandoned ? END_ABANDONED : END_COMPLETE, end);
  Close(p.file);
  p.file = -1;
  p.state = Pending::State::kStreamed;
  p.abandoned = abandoned;
  return true;
}

bool PipelinedSender::EndBatch() {
  s_.port.AppendSendLog(text::SEND_DONE);
  if (!Room(HEADER_SIZE)) return false;
  StoreHeader(FrameHeader{MSG_BATCH_DONE, 0, 0, 0}, Tail());
  used_ += HEADER_SIZE;
  if (!Flush()) return false;
  meter_.Reset();
  return true;
}

std::vector<QueuedItem> PipelinedSender::TakeUnfinished() {
  std::vector<QueuedItem> unfinished(resends_.begin(), resends_.end());
  for (Pending& p : window_) {
    Close(p.file);
    unfinished.push_back(p.entry);
  }
  resends_.clear();
  window_.clear();
  return unfinished;
}

}  // namespace tovrin
