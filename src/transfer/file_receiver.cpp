#include "transfer/file_receiver.h"

#include <algorithm>
#include <utility>

#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "protocol/ext_text.h"
#include "protocol/extended.h"
#include "protocol/wire_text.h"
#include "transfer/connection.h"
#include "transfer/session.h"
#include "transfer/transfer_meter.h"

namespace tovrin {
namespace {

// Answers gathered before they leave without waiting for the reader to run dry.
constexpr int ANSWER_BATCH = OFFER_WINDOW / 4;
// The first handle a classic offer is answered with: 0, 1 and 2 are never handed out.
constexpr int32_t FIRST_HANDLE = 3;

}  // namespace

FileReceiver::FileReceiver(Session& s, Connection& connection, TransferMeter& meter,
                           const std::optional<std::string>& folder)
    : s_(s),
      connection_(connection),
      meter_(meter),
      folder_(folder),
      next_handle_(FIRST_HANDLE),
      held_log_(s.port, &WindowPort::AppendRecvLog) {}

bool FileReceiver::Carry(const FrameHeader& h, const char* payload) {
  bool carried = true;
  switch (h.type) {
    case MSG_FILE_OFFER:
      return ClassicOffer(h, payload);
    case MSG_FILE_SEEK:
      ClassicSeek(h);
      return true;
    case MSG_FILE_DATA:
      ClassicData(h, payload);
      return true;
    case MSG_FILE_CLOSE:
      ClassicClose(h);
      return true;
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

bool FileReceiver::Offer(const FrameHeader& h, const char* payload) {
  ExtOffer offer;
  if (!ParseOffer(payload, h.length, offer) || files_.count(h.handle) != 0 ||
      files_.size() >= static_cast<size_t>(OFFER_WINDOW)) {
    return false;
  }
  std::string target;
  Incoming in =
      Open(ExtNameToLocal(offer.name), Utf8Lossy(offer.name, '?'), TargetAccess::kUpdate, target);
  in.size = offer.size;
  in.mtime_ns = offer.mtime_ns;
  in.mode = offer.mode;
  in.resend = (h.value & OFFER_FLAG_RESEND) != 0;
  ExtReply reply;
  int32_t status = OFFER_REFUSED;
  if (Examine(in)) {
    status = OFFER_ACCEPTED;
    reply.held = in.held;
    reply.prefix = in.hash.Value();
    held_log_.AddFileLine(
        FormatLine(text::RECEIVING_LONG, in.shown.c_str(), static_cast<long long>(offer.size)),
        DirectoryPart(target));
    files_.emplace(h.handle, std::move(in));
  } else {
    // Absolute, "..", a control character or not UTF-8, or a target that cannot be written:
    // nothing is written for this offer.
    Log(FormatLine(text::CANNOT_CREATE, target.c_str()));
  }
  static_cast<void>(BuildReply(AddAnswer(HEADER_SIZE + EXT_REPLY_SIZE), h.handle, status, reply));
  return true;
}

FileReceiver::Incoming FileReceiver::Open(const std::optional<std::string>& name,
                                          const std::string& lossy_name, TargetAccess access,
                                          std::string& target) {
  const bool subfolders = s_.port.IsSubfoldersChecked();
  const std::optional<std::string> folder =
      subfolders ? folder_ : std::optional<std::string>(std::string());
  Incoming in;
  if (name && folder) {
    in.folder = *folder;
    in.shown = *folder + *name;
    target = s_.save_dir + in.shown;
    OpenedTarget opened = opener_.Open(s_.save_dir, in.shown, access);
    in.file = std::move(opened.file);
    in.own = opened.created;
  } else {
    target = s_.save_dir + folder.value_or(std::string()) + lossy_name;
  }
  return in;
}

// The reply is settled before anything is logged: "receiving" only for a real handle, a
// refusal line (with the full target path) for every refusal.
bool FileReceiver::ClassicOffer(const FrameHeader& h, const char* payload) {
  // A file left open by a peer that never closed it is ended before the next one.
  EndClassic();
  const std::string_view wire_name = PayloadText(payload, h.length);
  std::string target;
  Incoming in =
      Open(WireNameToLocal(wire_name), Cp932ToUtf8Lossy(wire_name), TargetAccess::kWrite, target);
  in.size = h.value;
  // What the file already holds, which the peer resumes from. A file too large for the
  // wire's sizes (or unseekable) is refused: that beats overwriting it from the start.
  const int32_t existing = in.file.Seek(0, SEEK_FROM_END);
  FrameHeader reply{MSG_OFFER_REPLY, -1, -1, 0};
  if (existing >= 0 && in.file.Seek(0, SEEK_FROM_START) == 0) {
    reply.handle = classic_handle_ = next_handle_;
    reply.value = existing;
    next_handle_ = next_handle_ == INT32_MAX ? FIRST_HANDLE : next_handle_ + 1;
    held_log_.AddFileLine(FormatLine(text::RECEIVING, in.shown.c_str(), h.value),
                          DirectoryPart(target));
    classic_ = std::move(in);
  } else {
    ++failures_;
    Log(FormatLine(text::CANNOT_CREATE, target.c_str()));
  }
  StoreHeader(reply, AddAnswer(HEADER_SIZE));
  const bool posted = PostAnswers();
  meter_.BeginFile(h.value);
  return posted;
}

FileReceiver::Incoming* FileReceiver::Honoured(int32_t handle) {
  if (!classic_ || handle != classic_handle_ || classic_->failed) return nullptr;
  return &*classic_;
}

void FileReceiver::ClassicSeek(const FrameHeader& h) {
  Incoming* in = Honoured(h.handle);
  if (in == nullptr) return;
  const int32_t position = in->file.Seek(h.value, h.length);
  if (position < 0) {
    // Writing on at the old position would put the data at a wrong offset.
    Fail(*in);
    return;
  }
  meter_.SetPosition(position);
}

void FileReceiver::ClassicData(const FrameHeader& h, const char* payload) {
  Incoming* in = Honoured(h.handle);
  if (in == nullptr) return;
  const int written = in->file.Write(payload, h.length);
  if (written < 0) {
    Fail(*in);
    return;
  }
  meter_.Advance(written);
}

void FileReceiver::ClassicClose(const FrameHeader& h) {
  if (classic_ && h.handle == classic_handle_) EndClassic();
}

void FileReceiver::EndClassic() {
  if (!classic_) return;
  FileInfo held;
  if (!classic_->failed && classic_->file.GetInfo(held)) {
    if (held.size < classic_->size) {
      ReportAborted(*classic_, held.size);
    } else {
      Count(*classic_);
    }
  }
  classic_.reset();
  classic_handle_ = -1;
}

int FileReceiver::files() const { return static_cast<int>(files_.size()) + (classic_ ? 1 : 0); }

char* FileReceiver::AddAnswer(int size) {
  ++answer_count_;
  answers_.resize(answers_.size() + static_cast<size_t>(size));
  return answers_.data() + answers_.size() - size;
}

bool FileReceiver::PostAnswers() {
  ShowLog();
  if (answer_count_ == 0) return true;
  const bool posted =
      connection_.PostReplies(answers_.data(), static_cast<int>(answers_.size()), answer_count_);
  answers_.clear();
  answer_count_ = 0;
  return posted;
}

bool FileReceiver::Examine(Incoming& in) {
  if (!in.file.is_open()) return false;  // a target that was not opened
  // Opened in this step: its look at opening is as good as a new one.
  const FileInfo& info = in.file.opened_info();
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
    const int got = in.file.ReadAt(scratch_.data(), want, offset);
    if (got <= 0) return false;
    in.hash.Update(scratch_.data(), static_cast<size_t>(got));
    offset += got;
  }
  return true;
}

FileReceiver::Incoming* FileReceiver::Streaming(int32_t id) {
  if (!streaming_ || *streaming_ != id) return nullptr;
  return &files_.at(id);
}

bool FileReceiver::Start(const FrameHeader& h, const char* payload) {
  int64_t offset = 0;
  const auto it = files_.find(h.handle);
  if (!ParseStart(payload, h.length, offset)) return Broken(text::WHY_LAYOUT);
  if (it == files_.end() || it->second.started || streaming_) return Broken(text::WHY_ORDER);
  Incoming& in = it->second;
  // From the start, or on from the whole held part, whose hash the sender has compared.
  if (offset != 0 && (offset != in.held || in.held > in.size)) return Broken(text::WHY_ORDER);
  if (offset < in.held) {
    if (!in.file.Truncate(0)) Fail(in);
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

bool FileReceiver::Data(const FrameHeader& h, const char* payload) {
  Incoming* in = Streaming(h.handle);
  if (in == nullptr) return Broken(text::WHY_ORDER);
  if (h.length <= 0) return Broken(text::WHY_LAYOUT);
  // The sender sends exactly what it offered: nothing beyond it is written.
  if (h.length > in->size - in->position) {
    return Broken(FormatLine(text::WHY_BEYOND_SIZE, in->shown.c_str()));
  }
  if (!in->failed) {
    if (in->file.WriteAt(payload, h.length, in->position) < 0) {
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

bool FileReceiver::End(const FrameHeader& h, const char* payload) {
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
      Count(*in);
      // The time and bits are a courtesy: a file system that refuses them keeps the file.
      // Only for a file this session made or wrote: a peer that sends nothing must not
      // change an existing file's time and mode.
      if (in->own) {
        static_cast<void>(in->file.ApplySourceStamp(in->mtime_ns, in->mode, in->target_mode));
      }
    } else {
      verdict = DONE_DIFFERS;
      if (in->resend) ++failures_;
      static_cast<void>(in->file.Truncate(0));
      Log(FormatLine(in->resend ? text::VERIFY_FAILED : text::VERIFY_RETRY, in->shown.c_str()));
    }
  }
  files_.erase(h.handle);
  streaming_.reset();
  StoreHeader(FrameHeader{MSG_EXT_DONE, h.handle, verdict, 0}, AddAnswer(HEADER_SIZE));
  return true;
}

void FileReceiver::Log(std::string line) { held_log_.Add(std::move(line)); }

void FileReceiver::ShowLog() { held_log_.Show(); }

void FileReceiver::Fail(Incoming& in) {
  in.failed = true;
  ++failures_;
  Log(FormatLine(text::WRITE_FAILED, in.shown.c_str()));
}

bool FileReceiver::Broken(std::string reason) {
  violation_ = std::move(reason);
  return false;
}

bool FileReceiver::Refuse(const FrameHeader& h, const char* payload) {
  ++failures_;
  if (h.type == MSG_FILE_OFFER) {
    EndClassic();
    StoreHeader(FrameHeader{MSG_OFFER_REPLY, -1, -1, 0}, AddAnswer(HEADER_SIZE));
    return PostAnswers();
  }
  ExtOffer offer;
  if (!ParseOffer(payload, h.length, offer)) return Broken(text::WHY_LAYOUT);
  if (files_.count(h.handle) != 0) return Broken(text::WHY_ORDER);
  static_cast<void>(
      BuildReply(AddAnswer(HEADER_SIZE + EXT_REPLY_SIZE), h.handle, OFFER_REFUSED, ExtReply{}));
  return answer_count_ < ANSWER_BATCH || PostAnswers();
}

void FileReceiver::Count(const Incoming& in) {
  meter_.FileDone();
  ++arrived_;
  if (!arrived_folder_) {
    arrived_folder_ = in.folder;
  } else if (*arrived_folder_ != in.folder) {
    folders_differ_ = true;
  }
}

FileReceiver::Arrived FileReceiver::TakeArrived() {
  Arrived arrived{arrived_, s_.save_dir};
  if (arrived_folder_ && !folders_differ_) arrived.folder += *arrived_folder_;
  arrived_ = 0;
  arrived_folder_.reset();
  folders_differ_ = false;
  return arrived;
}

void FileReceiver::ReportAborted(const Incoming& in, int64_t held) {
  ++failures_;
  Log(FormatLine(text::RECEIVE_ABORTED, in.shown.c_str(), static_cast<long long>(held)));
}

int FileReceiver::TakeFailures() {
  const int failures = failures_;
  failures_ = 0;
  return failures;
}

void FileReceiver::EndSession() {
  EndClassic();
  for (auto& [id, in] : files_) {
    if (in.failed) continue;  // its write failure was logged
    FileInfo held;
    ReportAborted(in, in.file.GetInfo(held) ? held.size : in.position);
  }
  ShowLog();
}

}  // namespace tovrin
