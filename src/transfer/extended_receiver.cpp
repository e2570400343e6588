#include "transfer/extended_receiver.h"

#include <algorithm>
#include <utility>

#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "protocol/ext_text.h"
#include "protocol/extended.h"
#include "storage/save_dir.h"
#include "storage/storage.h"
#include "transfer/connection.h"
#include "transfer/session.h"
#include "transfer/transfer_meter.h"

namespace tovrin {
namespace {

// Answers gathered before they leave without waiting for the reader to run dry.
constexpr int ANSWER_BATCH = OFFER_WINDOW / 4;

}  // namespace

ExtendedReceiver::ExtendedReceiver(Session& s, Connection& connection, TransferMeter& meter,
                                   TargetOpener& opener, const std::optional<std::string>& folder)
    : s_(s),
      connection_(connection),
      meter_(meter),
      opener_(opener),
      folder_(folder),
      held_log_(s.port, &WindowPort::AppendRecvLog) {}

ExtendedReceiver::~ExtendedReceiver() {
  // A file cut off by the end of the session keeps what was written, for a later resume.
  for (auto& [id, in] : files_) Close(in.file);
}

bool ExtendedReceiver::Carry(const FrameHeader& h, const char* payload) {
  bool carried = true;
  switch (h.type) {
    case MSG_EXT_OFFER:
      carried = Offer(h, payload);
      if (!carried) {
        Broken(files_.count(h.handle) != 0                          ? text::WHY_ORDER
               : files_.size() >= static_cast<size_t>(OFFER_WINDOW) ? text::WHY_TOO_MANY
                                                                    : text::WHY_LAYOUT);
      } else if (files_.count(h.handle) == 0) {
        ++failures_;  // refused
      }
      break;
    case MSG_EXT_START:
      carried = Start(h, payload);
      break;
    case MSG_EXT_DATA:
      carried = Data(h, payload);
      break;
    case MSG_EXT_END:
      carried = End(h, payload);
      break;
    default:
      break;
  }
  // A batch also leaves once it is worth a send of its own: the sender refills its window
  // while this side still works through the rest of what arrived.
  return carried && (answer_count_ < ANSWER_BATCH || PostAnswers());
}

bool ExtendedReceiver::Offer(const FrameHeader& h, const char* payload) {
  ExtOffer offer;
  if (!ParseOffer(payload, h.length, offer) || files_.count(h.handle) != 0 ||
      files_.size() >= static_cast<size_t>(OFFER_WINDOW)) {
    return false;
  }
  const bool subfolders = s_.port.IsSubfoldersChecked();
  const std::optional<std::string> name = ExtNameToLocal(offer.name);
  const std::optional<std::string> folder =
      subfolders ? folder_ : std::optional<std::string>(std::string());
  ExtReply reply;
  int32_t status = OFFER_REFUSED;
  if (name && folder) {
    Incoming in;
    in.shown = *folder + *name;
    in.size = offer.size;
    in.mtime_ns = offer.mtime_ns;
    in.mode = offer.mode;
    in.resend = (h.value & OFFER_FLAG_RESEND) != 0;
    const std::string target = s_.save_dir + in.shown;
    const OpenedTarget opened = opener_.Open(s_.save_dir, in.shown, TargetAccess::kUpdate);
    in.file = opened.handle;
    in.own = opened.created;
    if (in.file >= 0 && Examine(in)) {
      status = OFFER_ACCEPTED;
      reply.held = in.held;
      reply.prefix = in.hash.Value();
      held_log_.AddFileLine(
          FormatLine(text::RECEIVING_LONG, in.shown.c_str(), static_cast<long long>(offer.size)),
          DirectoryPart(target));
      files_.emplace(h.handle, std::move(in));
    } else {
      Close(in.file);
      Log(FormatLine(text::CANNOT_CREATE, target.c_str()));
    }
  } else {
    // Absolute, "..", a control character or not UTF-8: nothing is written for this offer.
    const std::string shown =
        s_.save_dir + folder.value_or(std::string()) + Utf8Lossy(offer.name, '?');
    Log(FormatLine(text::CANNOT_CREATE, shown.c_str()));
  }
  static_cast<void>(BuildReply(AddAnswer(HEADER_SIZE + EXT_REPLY_SIZE), h.handle, status, reply));
  return true;
}

char* ExtendedReceiver::AddAnswer(int size) {
  ++answer_count_;
  answers_.resize(answers_.size() + static_cast<size_t>(size));
  return answers_.data() + answers_.size() - size;
}

bool ExtendedReceiver::PostAnswers() {
  ShowLog();
  if (answer_count_ == 0) return true;
  const bool posted =
      connection_.PostReplies(answers_.data(), static_cast<int>(answers_.size()), answer_count_);
  answers_.clear();
  answer_count_ = 0;
  return posted;
}

bool ExtendedReceiver::Examine(Incoming& in) {
  FileInfo info;
  if (!GetFileInfo(in.file, info)) return false;
  // Two offers writing one file at once would each resume from what the other changes.
  for (const auto& [id, other] : files_) {
    if (other.device == info.device && other.inode == info.inode) return false;
  }
  in.target_mode = info.mode;
  in.device = info.device;
  in.inode = info.inode;
  in.held = info.size;
  const int64_t prefix = std::min(in.held, in.size);
  if (prefix > 0 && scratch_.empty()) scratch_.resize(EXT_CHUNK_SIZE);
  for (int64_t offset = 0; offset < prefix;) {
    const int want = static_cast<int>(std::min<int64_t>(EXT_CHUNK_SIZE, prefix - offset));
    const int got = ReadAt(in.file, scratch_.data(), want, offset);
    if (got <= 0) return false;
    in.hash.Update(scratch_.data(), static_cast<size_t>(got));
    offset += got;
  }
  return true;
}

ExtendedReceiver::Incoming* ExtendedReceiver::Streaming(int32_t id) {
  if (!streaming_ || *streaming_ != id) return nullptr;
  return &files_.at(id);
}

bool ExtendedReceiver::Start(const FrameHeader& h, const char* payload) {
  int64_t offset = 0;
  const auto it = files_.find(h.handle);
  if (!ParseStart(payload, h.length, offset)) return Broken(text::WHY_LAYOUT);
  if (it == files_.end() || it->second.started || streaming_) return Broken(text::WHY_ORDER);
  Incoming& in = it->second;
  // From the start, or on from the whole held part, whose hash the sender has compared.
  if (offset != 0 && (offset != in.held || in.held > in.size)) return Broken(text::WHY_ORDER);
  if (offset < in.held) {
    if (!Truncate(in.file, 0)) Fail(in);
    in.hash.Reset();
    in.own = true;
  }
  in.started = true;
  in.position = offset;
  streaming_ = h.handle;
  meter_.BeginFile(in.size);
  meter_.ResumeFrom(offset);
  return true;
}

bool ExtendedReceiver::Data(const FrameHeader& h, const char* payload) {
  Incoming* in = Streaming(h.handle);
  if (in == nullptr) return Broken(text::WHY_ORDER);
  if (h.length <= 0) return Broken(text::WHY_LAYOUT);
  // The sender sends exactly what it offered: nothing beyond it is written.
  if (h.length > in->size - in->position) {
    return Broken(FormatLine(text::WHY_BEYOND_SIZE, in->shown.c_str()));
  }
  if (!in->failed) {
    if (WriteAt(in->file, payload, h.length, in->position) < 0) {
      Fail(*in);
    } else {
      in->own = true;
    }
  }
  in->hash.Update(payload, static_cast<size_t>(h.length));
  in->position += h.length;
  meter_.Advance(h.length);
  return true;
}

bool ExtendedReceiver::End(const FrameHeader& h, const char* payload) {
  ExtEnd end;
  Incoming* in = Streaming(h.handle);
  if (!ParseEnd(payload, h.length, end) || (h.value != END_COMPLETE && h.value != END_ABANDONED)) {
    return Broken(text::WHY_LAYOUT);
  }
  if (in == nullptr || end.total != in->position) return Broken(text::WHY_ORDER);
  if (h.value == END_COMPLETE && end.total != in->size) {
    return Broken(FormatLine(text::WHY_SHORT, in->shown.c_str()));
  }
  int32_t verdict = DONE_NOT_STORED;  // a failed write, or the sender could not read on
  if (h.value == END_ABANDONED && !in->failed) ReportAborted(*in, in->position);
  if (h.value == END_COMPLETE && !in->failed) {
    if (in->hash.Value() == end.digest) {
      verdict = DONE_VERIFIED;
      // The time and bits are a courtesy: a file system that refuses them keeps the file.
      // Only for a file this session made or wrote: a peer that sends nothing must not
      // change an existing file's time and mode.
      if (in->own) {
        static_cast<void>(ApplySourceStamp(in->file, in->mtime_ns, in->mode, in->target_mode));
      }
    } else {
      verdict = DONE_DIFFERS;
      if (in->resend) ++failures_;
      static_cast<void>(Truncate(in->file, 0));
      Log(FormatLine(in->resend ? text::VERIFY_FAILED : text::VERIFY_RETRY, in->shown.c_str()));
    }
  }
  Close(in->file);
  files_.erase(h.handle);
  streaming_.reset();
  StoreHeader(FrameHeader{MSG_EXT_DONE, h.handle, verdict, 0}, AddAnswer(HEADER_SIZE));
  return true;
}

void ExtendedReceiver::Log(std::string line) { held_log_.Add(std::move(line)); }

void ExtendedReceiver::ShowLog() { held_log_.Show(); }

void ExtendedReceiver::Fail(Incoming& in) {
  in.failed = true;
  ++failures_;
  Log(FormatLine(text::WRITE_FAILED, in.shown.c_str()));
}

bool ExtendedReceiver::Broken(std::string reason) {
  violation_ = std::move(reason);
  return false;
}

void ExtendedReceiver::ReportAborted(const Incoming& in, int64_t held) {
  ++failures_;
  Log(FormatLine(text::RECEIVE_ABORTED, in.shown.c_str(), static_cast<long long>(held)));
}

int ExtendedReceiver::TakeFailures() {
  const int failures = failures_;
  failures_ = 0;
  return failures;
}

void ExtendedReceiver::EndSession() {
  for (auto& [id, in] : files_) {
    if (in.failed) continue;  // its write failure was logged
    FileInfo held;
    ReportAborted(in, GetFileInfo(in.file, held) ? held.size : in.position);
  }
  ShowLog();
}

}  // namespace tovrin
