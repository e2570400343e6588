#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "port/catalogue.h"
#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "protocol/ext_text.h"
#include "protocol/extended.h"
#include "protocol/frame.h"
#include "protocol/wire_text.h"
#include "queue/send_queue.h"
#include "storage/storage.h"
#include "transfer/connection.h"
#include "transfer/held_log.h"
#include "transfer/send_codec.h"
#include "transfer/session.h"
#include "transfer/transfer_meter.h"
#include "transfer/workers.h"

namespace tovrin {

namespace {

// The names in a folder, sorted for a stable order; names beginning with '.' are skipped,
// and so are links to directories (into `links`): descending into them could loop forever
// (a link to "." or to a parent) or leave the dropped tree. Links to files are sent as the
// files they name. false when the folder cannot be listed.
bool ListFolder(const std::string& path, std::vector<std::string>& names,
                std::vector<std::string>& links) {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
  if (!dir) return false;
  // readdir is safe here: no other thread reads this stream.
  while (const dirent* entry = readdir(dir.get())) {  // NOLINT(concurrency-mt-unsafe)
    if (entry->d_name[0] == '.') continue;
    const std::string name = entry->d_name;
    std::string child = path;
    child += '/';
    child += name;
    struct stat info {};
    const bool link =
        entry->d_type == DT_LNK ||
        (entry->d_type == DT_UNKNOWN && lstat(child.c_str(), &info) == 0 && S_ISLNK(info.st_mode));
    if (link && IsDirectory(child)) {
      links.push_back(name);
    } else {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  std::sort(links.begin(), links.end());
  return true;
}

// What sending `entries` (queue entries, headers included) would offer, by the rules Expand
// and Offer go by, as a batch announcement: the files (a folder that cannot be listed counts
// as one), the sizes of the regular ones and the first MAX_BATCH_NAMES top-level names that
// can be sent. One stat per file, nothing read.
BatchAnnouncement MeasureEntries(const std::vector<std::string>& entries) {
  BatchAnnouncement batch;
  const auto add = [&batch](const auto& self, const std::string& path) -> void {
    struct stat info {};
    const bool found = stat(path.c_str(), &info) == 0;
    std::vector<std::string> names;
    std::vector<std::string> links;
    if (found && S_ISDIR(info.st_mode) && ListFolder(path, names, links)) {
      for (const std::string& name : names) {
        std::string child = path;
        child += '/';
        child += name;
        self(self, child);
      }
      return;
    }
    ++batch.files;
    if (found && S_ISREG(info.st_mode)) batch.bytes += static_cast<uint64_t>(info.st_size);
  };
  std::string dir;
  for (const std::string& entry : entries) {
    if (IsFolderHeader(entry)) {
      dir = entry.substr(1);
      continue;
    }
    add(add, dir + entry);
    const std::string top = entry.substr(0, entry.find('/'));
    if (batch.names.size() < MAX_BATCH_NAMES && IsSendableExtName(top) &&
        std::find(batch.names.begin(), batch.names.end(), top) == batch.names.end()) {
      batch.names.push_back(top);
    }
  }
  return batch;
}

// The peer's reason for declining, in this side's words when it is one of Tovrin's own.
std::string DeclineReason(const std::string& reason) {
  for (const Text<> known : {text::WHY_USER_DECLINED, text::WHY_NO_ANSWER, text::WHY_ACCEPTS_NONE,
                             text::WHY_PAIRED_FILES_ONLY}) {
    if (reason == known.In(JAPANESE)) return known.get();
  }
  long long needed = 0;
  long long free = 0;
  // NOLINTNEXTLINE(cert-err34-c): both numbers are checked by the count
  if (std::sscanf(reason.c_str(), text::NO_ROOM.In(JAPANESE), &needed, &free) == 2) {
    return FormatLine(text::NO_ROOM, needed, free);
  }
  return EscapeControls(reason);
}

// A batch of small messages leaves once it holds this much; a data chunk fills one alone.
constexpr int FLUSH_AT = 256 << 10;
// Room for a batch about to leave plus the largest message.
constexpr int BATCH_CAPACITY = FLUSH_AT + HEADER_SIZE + MAX_EXT_PAYLOAD;

// Drains the send queue from the front, on either wire through its codec: up to the codec's
// window of offers is outstanding at once (one on the classic wire) and each file's data
// follows as soon as its answer is there, so with the extension a tree of small files pays no
// round trip per file. Answers come from the receive worker through the connection's
// PeerLink. With a verifying codec every file is sent with its hash, a resume first compares
// the hash of the part the peer holds, a file the peer finds different is offered once more,
// and a source that changed while it was sent is abandoned and offered once more.
//
// Messages are batched and leave together before the worker waits, or once a batch grows
// large; every message still leaves whole. Send-log lines are held likewise and shown, in
// order and in one step on the UI thread, before anything leaves and before any other window
// operation of the worker.
class Sender final {
 public:
  Sender(Session& s, Connection& connection, uint32_t attempt)
      : s_(s),
        connection_(connection),
        link_(connection.link()),
        attempt_(attempt),
        meter_(s, TransferMeter::Direction::kSend),
        codec_(link_.extended() ? MakeExtendedSendCodec() : MakeClassicSendCodec(s)),
        batch_(new char[BATCH_CAPACITY]),
        held_log_(s.port, &WindowPort::AppendSendLog) {}
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  void Run() {
    while (!Ended() && Step()) {
    }
    Requeue();
  }

 private:
  // One pass of the loop; false when the session is to end.
  bool Step() {
    if (!Pump()) return false;
    if (Full() || asked_) return AnnounceQueue(QUEUE_SENDING) && Wait();
    // A session that announces its batches begins the next one once the last has gone.
    const bool next_batch = batches_ && batch_entries_.empty();
    if (next_batch && !Idle()) return AnnounceQueue(QUEUE_SENDING) && Wait();
    // One step on the UI thread per file: the log lines of the files just streamed, then
    // the next entry (or, for a batch to announce, what the queue holds).
    std::optional<std::string> entry;
    std::vector<std::string> batch;
    bool batch_over = false;  // the entry taken was the next batch's
    s_.port.RunRoutineOnUiThread([&] {
      ShowLog();
      if (next_batch) {
        batch = s_.queue.Entries();
      } else {
        entry = s_.queue.TakeFront();
        batch_over = batches_ && !TakeFromBatch(entry);
      }
    });
    if (!batch.empty()) return AnnounceQueue(QUEUE_SENDING) && AnnounceBatch(std::move(batch));
    if (batch_over) return true;
    if (!entry) {
      if (!Idle()) return AnnounceQueue(QUEUE_SENDING) && Wait();
      if (!AnnounceQueue(QUEUE_EMPTY) || !Flush()) return false;
      // The console's --exit-after-batch: once nothing is left to send (also when the last
      // entry was an empty folder, which ends without a batch end), close our direction.
      CloseAfterBatch();
      s_.WaitFor([this] { return Ended(); }, IDLE_CHECK);
      return true;
    }
    if (!AnnounceQueue(QUEUE_SENDING)) return false;
    if (IsFolderHeader(*entry)) {
      current_dir_ = entry->substr(1);
      return !codec_->announces_at_header() || (Announce(current_dir_) && Flush());
    }
    // Most items are files: opening first spares each a look of its own, and what cannot be
    // opened may be a folder to expand.
    const std::string path = current_dir_ + *entry;
    File file = File::OpenForRead(path);
    if (!file.is_open() && IsDirectory(path)) {
      Expand(*entry, path);
      return true;
    }
    return Offer(Retry{QueuedItem{current_dir_, *entry}, false, false}, std::move(file));
  }

  // A file to offer, and whether it is offered once more after a failed check or a change.
  struct Retry {
    QueuedItem entry;
    bool resend = false;
    bool reoffered = false;
  };

  [[nodiscard]] bool Ended() const { return s_.Ended(attempt_); }
  [[nodiscard]] bool Full() const {
    return window_.size() >= static_cast<size_t>(codec_->window());
  }
  [[nodiscard]] bool Idle() const { return window_.empty() && resends_.empty(); }

  void Undelivered() { s_.batch.undelivered.fetch_add(1); }
  // A send-log line, held until the next ShowLog.
  void Log(std::string line) { held_log_.Add(std::move(line)); }
  // UI thread or worker: shows the held send-log lines, in order.
  void ShowLog() { held_log_.Show(); }

  // Makes room for `count` more bytes in the batch, sending it first when needed.
  bool Room(int count) { return used_ + count <= BATCH_CAPACITY || Flush(); }
  char* Tail() { return batch_.get() + used_; }
  // Room for the largest small message of the codec: false when the session is to end.
  bool SmallRoom() { return Room(codec_->max_small_message()); }

  // Sends what is batched.
  bool Flush() {
    ShowLog();
    if (used_ == 0) return true;
    const bool sent = connection_.Send(batch_.get(), used_);
    used_ = 0;
    return sent;
  }

  // Sends what is batched, then waits up to IDLE_CHECK for an answer or the session's end.
  bool Wait() {
    if (!Flush()) return false;
    s_.WaitFor([this] { return Ended() || link_.HasAnswers(); }, IDLE_CHECK);
    return true;
  }

  // The peer hears of every change of our queue's state (MSG_EXT_QUEUE), the first one as
  // soon as the session runs.
  bool AnnounceQueue(int32_t state) {
    if (!codec_->announces_queue() || state == announced_state_) return true;
    announced_state_ = state;
    if (!Room(HEADER_SIZE)) return false;
    StoreHeader(FrameHeader{MSG_EXT_QUEUE, 0, state, 0}, Tail());
    used_ += HEADER_SIZE;
    return true;
  }

  bool Announce(const std::string& dir) {
    if (!SmallRoom()) return false;
    used_ += codec_->BuildFolder(Tail(), dir);
    announced_ = dir;
    return true;
  }

  // UI thread: the queue's front `entry`, just taken (nothing when the queue is empty), as
  // the running batch sees it. Entries the user removed are passed over; an entry that is not
  // the batch's belongs to the next batch: it goes back, and the running batch has had all its
  // entries. False when it went back.
  bool TakeFromBatch(std::optional<std::string>& entry) {
    const auto at = entry ? std::find(batch_entries_.begin(), batch_entries_.end(), *entry)
                          : batch_entries_.end();
    if (at != batch_entries_.end()) {
      batch_entries_.erase(batch_entries_.begin(), at + 1);
      return true;
    }
    batch_entries_.clear();
    if (!entry) return true;
    s_.queue.InsertAt(0, *entry);
    entry.reset();
    return false;
  }

  // The batch that `entries` make is announced; nothing of it is offered before the answer.
  bool AnnounceBatch(std::vector<std::string> entries) {
    const BatchAnnouncement batch = MeasureEntries(entries);
    s_.batch.send_files_total.store(batch.files);
    s_.batch.send_bytes_total.store(batch.bytes);
    if (!Room(HEADER_SIZE + MAX_BATCH_PAYLOAD)) return false;
    used_ += BuildBatch(Tail(), batch);
    asked_ = std::move(entries);
    asked_files_ = batch.files;
    return Flush();
  }

  // The peer's answer to the announced batch: an accepted batch is sent; a declined one is
  // taken off the queue (entries the user removed meanwhile are passed over) and counts as
  // not delivered.
  const char* TakeBatchReply(const PeerLink::Answer& answer) {
    if (!asked_) return text::WHY_ORDER;
    const std::vector<std::string> entries = std::move(*asked_);
    asked_.reset();
    if (answer.value == BATCH_ACCEPTED) {
      batch_entries_.assign(entries.begin(), entries.end());
      return nullptr;
    }
    s_.port.RunOnUiThread([&] {
      for (const std::string& entry : entries) {
        if (s_.queue.EntryAt(0) == entry) s_.queue.RemoveAt(0);
      }
    });
    Log(FormatLine(text::PEER_DECLINED_BATCH, DeclineReason(answer.reason).c_str(),
                   static_cast<long long>(asked_files_)));
    s_.batch.undelivered.fetch_add(
        static_cast<int32_t>(std::min<uint64_t>(asked_files_, INT32_MAX)));
    s_.batch.send_files_total.store(0);
    s_.batch.send_bytes_total.store(0);
    ShowLog();
    return nullptr;
  }

  // The console's --exit-after-batch, once our queue is empty: closes our direction unless
  // the peer is still sending to us. A file of the peer's in flight is waited for, and on the
  // extended wire a queue the peer announced as not empty (or has not announced yet, for
  // NEGOTIATION_GRACE), as long as the peer's transfer makes progress: PEER_STALL without
  // any gives up the wait.
  void CloseAfterBatch() {
    if (!s_.options.close_after_batch.load() || closed_) return;
    const uint32_t quiet = SteadyMilliseconds() - s_.batch.peer_progress_ms.load();
    if (quiet < PEER_STALL_MS) {
      if (s_.batch.peer_files.load() > 0) return;
      const int32_t peer = link_.extended() ? s_.batch.peer_queue.load() : QUEUE_EMPTY;
      if (peer == QUEUE_SENDING) return;
      if (peer == PEER_QUEUE_UNKNOWN && quiet < static_cast<uint32_t>(NEGOTIATION_GRACE.count())) {
        return;
      }
    }
    closed_ = true;
    connection_.ShutdownSend();
  }

  // A folder item is replaced at the front of the queue by its children, in listing order.
  void Expand(const std::string& item, const std::string& path) {
    std::vector<std::string> names;
    std::vector<std::string> links;
    if (!ListFolder(path, names, links)) return;
    for (const std::string& link : links) {
      s_.port.AppendSendLog(
          FormatLine(text::FOLDER_LINK_SKIPPED, (item + "/").append(link).c_str()));
    }
    // One step on the UI thread for all of them: a window answers each step a worker waits
    // for, which per file of a large folder would cost more than its transfer.
    s_.port.RunRoutineOnUiThread([&] {
      int index = 0;
      for (const std::string& name : names) {
        std::string child = item;
        child += '/';
        child += name;
        if (batches_) batch_entries_.insert(batch_entries_.begin() + index, child);
        s_.queue.InsertAt(index++, child);
      }
    });
  }

  // Offers a file (Full() must be false) whose source is `file` (closed when it could not be
  // opened). Sources that cannot be offered are logged and dropped. False when the session is
  // to end.
  bool Offer(const Retry& retry, File file) {
    const QueuedItem& entry = retry.entry;
    // Just opened: its look at opening is as good as a new one.
    const FileInfo& info = file.opened_info();
    if (!codec_->Sendable(entry.item)) {
      Log(FormatLine(text::NAME_NOT_SENDABLE, entry.item.c_str()));
    } else if (!file.is_open()) {
      Log(FormatLine(text::CANNOT_OPEN, entry.item.c_str()));
    } else if (info.size > codec_->max_size()) {
      Log(FormatLine(text::TOO_LARGE, entry.item.c_str()));
    } else {
      return OfferSendable(retry, std::move(file), info);
    }
    Undelivered();
    return true;
  }

  bool OfferSendable(const Retry& retry, File file, const FileInfo& info) {
    const QueuedItem& entry = retry.entry;
    if (!codec_->announces_at_header() && (!announced_ || *announced_ != entry.dir)) {
      if (!Announce(entry.dir)) return false;
    }
    if (!SmallRoom()) return false;
    Outgoing f;
    f.entry = entry;
    f.id = next_id_++;
    f.file = std::move(file);
    f.size = info.size;
    f.mtime_ns = info.mtime_ns;
    f.mode = info.mode;
    f.resend = retry.resend;
    f.reoffered = retry.reoffered;
    used_ += codec_->BuildOffer(Tail(), f);
    window_.push_back(std::move(f));
    return used_ < FLUSH_AT || Flush();
  }

  // Takes the peer's answers, streams every file whose reply is there and offers a file that
  // failed its check again. Ends the batch when the last file is done and the queue is
  // empty. False when the session is to end (also when the peer's answers break the order).
  bool Pump() {
    PeerLink::Answer answer;
    while (link_.Take(answer)) {
      const char* broken = answer.type == MSG_EXT_DONE          ? TakeDone(answer)
                           : answer.type == MSG_EXT_BATCH_REPLY ? TakeBatchReply(answer)
                                                                : TakeReply(answer);
      if (broken != nullptr) {
        ShowLog();
        s_.ReportViolation(attempt_, broken);
        return false;
      }
    }
    for (auto it = window_.begin(); it != window_.end();) {
      if (it->state == Outgoing::State::kAnswered && !Stream(*it)) return false;
      // Without a verdict to wait for, a file is done once its end has gone out.
      if (it->state != Outgoing::State::kStreamed || codec_->verifies()) {
        ++it;
        continue;
      }
      if (it->abandoned) {
        Undelivered();
      } else {
        meter_.FileDone();
      }
      it = window_.erase(it);
      finished_ = true;
    }
    while (!resends_.empty() && !Full()) {
      const Retry retry = resends_.front();
      resends_.pop_front();
      if (!Offer(retry, File::OpenForRead(retry.entry.dir + retry.entry.item))) return false;
    }
    if (finished_ && Idle()) {
      finished_ = false;
      ShowLog();
      if (batches_ ? batch_entries_.empty() : s_.queue.Count() == 0) return EndBatch();
    }
    return true;
  }

  const char* TakeReply(const PeerLink::Answer& answer) {
    const auto it = std::find_if(window_.begin(), window_.end(), [](const Outgoing& f) {
      return f.state == Outgoing::State::kOffered;
    });
    Outgoing* f = it == window_.end() ? nullptr : &*it;
    bool accepted = false;
    if (const char* broken = codec_->TakeReply(answer, f, accepted)) return broken;
    if (f == nullptr) return nullptr;
    if (accepted) {
      f->state = Outgoing::State::kAnswered;
      return nullptr;
    }
    Log(FormatLine(text::CANNOT_SEND, f->entry.item.c_str()));
    Undelivered();
    // When there is no room the connection failed, which the next send finds.
    if (SmallRoom()) used_ += codec_->BuildRefused(Tail(), *f);
    window_.erase(it);
    finished_ = true;
    return nullptr;
  }

  const char* TakeDone(const PeerLink::Answer& answer) {
    const auto it = std::find_if(window_.begin(), window_.end(), [&](const Outgoing& f) {
      return f.id == answer.id && f.state == Outgoing::State::kStreamed;
    });
    if (it == window_.end()) return text::WHY_ORDER;
    const std::string& item = it->entry.item;
    switch (answer.value) {
      case DONE_VERIFIED:
        meter_.FileDone();
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

  // Hashes the first `length` bytes of `file` into `hash`; false when they cannot be read.
  bool HashPrefix(const File& file, int64_t length, FileHash& hash) {
    if (!Flush()) return false;
    for (int64_t offset = 0; offset < length;) {
      if (Ended()) return false;
      const int want = static_cast<int>(std::min<int64_t>(BATCH_CAPACITY, length - offset));
      const int got = file.ReadAt(batch_.get(), want, offset);
      if (got <= 0) return false;
      hash.Update(batch_.get(), static_cast<size_t>(got));
      offset += got;
    }
    return true;
  }

  // True when the source is no longer what was offered.
  static bool Changed(const Outgoing& f) {
    FileInfo now;
    return f.file.GetInfo(now) && (now.size != f.size || now.mtime_ns != f.mtime_ns);
  }

  // The data of an accepted file, from where the codec's plan begins, and its end. A
  // verifying codec sends exactly the offered size: a source that ends before it, or whose
  // size or time differs once it has been read, changed while it was sent. Otherwise the
  // source is read to its end, also when it grew since the offer, but never past what a
  // 32-bit offset can name. False when the session is to end.
  bool Stream(Outgoing& f) {
    const std::string& item = f.entry.item;
    const bool verifies = codec_->verifies();
    FileHash hash;
    bool matches = true;
    if (verifies && f.held > 0 && f.held <= f.size) {
      if (!HashPrefix(f.file, f.held, hash)) {
        if (Ended()) return false;
        matches = false;
      } else {
        matches = hash.Value() == f.prefix;
      }
      if (!matches) hash.Reset();
    }
    const StartPlan plan = codec_->Plan(f, matches);
    if (plan.exists) {
      Log(FormatLine(text::EXISTS, item.c_str()));
    } else {
      Log(codec_->SendingLine(f));
      if (plan.resumed) Log(codec_->ResumingLine(f));
      if (plan.restart) Log(text::RESTARTING);
    }
    codec_->BeginMeter(meter_, f, plan);
    if (!SmallRoom()) return false;
    used_ += codec_->BuildStart(Tail(), f, plan);
    f.started = true;

    int64_t offset = plan.offset;
    const int64_t limit = plan.exists ? offset : verifies ? f.size : INT32_MAX;
    const int chunk = codec_->chunk_size();
    bool changed = false;
    while (offset < limit) {
      f.sent = offset;
      if (Ended() || !Room(HEADER_SIZE + chunk)) return false;
      const int want = static_cast<int>(std::min<int64_t>(chunk, limit - offset));
      const int got = f.file.ReadAt(Tail() + HEADER_SIZE, want, offset);
      if (got < 0) {
        // The peer keeps what it has and a later offer resumes it; say why it is short.
        Log(FormatLine(text::READ_FAILED, item.c_str()));
        f.abandoned = true;
        break;
      }
      if (got == 0) {
        changed = verifies;
        break;
      }
      if (verifies) hash.Update(Tail() + HEADER_SIZE, static_cast<size_t>(got));
      codec_->StoreDataHeader(Tail(), f, got);
      used_ += HEADER_SIZE + got;
      offset += got;
      meter_.Advance(got);
      if (used_ >= FLUSH_AT && !Flush()) return false;
    }
    f.sent = offset;
    if (Ended() || !SmallRoom()) return false;
    if (verifies && !f.abandoned && (changed || Changed(f))) {
      f.changed = f.abandoned = true;
      Log(FormatLine(f.reoffered ? text::CHANGED_FAILED : text::CHANGED_RETRY, item.c_str()));
    }
    used_ += codec_->BuildEnd(Tail(), f, offset, hash.Value());
    f.file.Close();
    f.state = Outgoing::State::kStreamed;
    return true;
  }

  bool EndBatch() {
    Log(text::SEND_DONE);
    // Held with "送信完了", so that both leave together and no other line comes between. A
    // classic session's lines stay as they have always been.
    if (link_.extended()) Log(meter_.BatchSummary());
    meter_.Reset();  // also forgets the announced totals
    if (!Room(HEADER_SIZE)) return false;
    StoreHeader(FrameHeader{MSG_BATCH_DONE, 0, 0, 0}, Tail());
    used_ += HEADER_SIZE;
    return Flush();
  }

  // At the end of the session every file not known to be complete at the peer goes back to
  // the front of the queue, in order (files to offer again first), each behind the header of
  // its directory, and what was never taken keeps the header of the current one. Each file
  // whose data had gone out is logged as cut off.
  void Requeue() {
    std::vector<std::string> front;
    const std::string* dir = nullptr;
    // The next session begins in the top folder: a header for it comes first only when
    // needed.
    const auto put = [&](const QueuedItem& item) {
      if (dir == nullptr ? !item.dir.empty() : *dir != item.dir) front.push_back(">" + item.dir);
      dir = &item.dir;
      front.push_back(item.item);
    };
    for (const Retry& retry : resends_) put(retry.entry);
    for (const Outgoing& f : window_) {
      put(f.entry);
      if (f.started) {
        Log(FormatLine(text::SEND_ABORTED, f.entry.item.c_str(), static_cast<long long>(f.sent)));
      }
    }
    ShowLog();
    if (s_.queue.Count() != 0 && (dir == nullptr ? !current_dir_.empty() : *dir != current_dir_)) {
      front.push_back(">" + current_dir_);
    }
    for (size_t i = 0; i < front.size(); ++i) s_.queue.InsertAt(static_cast<int>(i), front[i]);
    resends_.clear();
    window_.clear();
  }

  Session& s_;
  Connection& connection_;
  PeerLink& link_;
  const uint32_t attempt_;
  TransferMeter meter_;
  const std::unique_ptr<SendCodec> codec_;
  std::string current_dir_;
  std::optional<std::string> announced_;  // the folder the peer last heard of
  std::deque<Outgoing> window_;           // offered and not done, in the order of the offers
  std::deque<Retry> resends_;
  int32_t next_id_ = 1;
  bool finished_ = false;  // a file was done since the last batch end
  std::unique_ptr<char[]> batch_;
  int used_ = 0;
  HeldLog held_log_;
  bool closed_ = false;                           // our sending direction has been shut down
  int32_t announced_state_ = PEER_QUEUE_UNKNOWN;  // the queue state the peer last heard of
  // The session announces each batch (MSG_EXT_BATCH): the entries of the one announced and
  // not answered yet, its files, and the entries of the running batch not taken yet, in
  // queue order (a folder expanded puts its children in its place).
  const bool batches_ = link_.announces_batches();
  std::optional<std::vector<std::string>> asked_;
  uint64_t asked_files_ = 0;
  std::deque<std::string> batch_entries_;
};

}  // namespace

int CountQueuedFiles(const std::vector<std::string>& entries) {
  return static_cast<int>(std::min<uint64_t>(MeasureEntries(entries).files, INT_MAX));
}

uint32_t SendWorker(void* parameter) {
  return RunWorker(parameter, &Session::send_thread, true,
                   [](Session& s, Connection& connection, uint32_t attempt) {
                     Sender sender(s, connection, attempt);
                     sender.Run();
                   });
}

}  // namespace tovrin
