#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "protocol/extended.h"
#include "protocol/frame.h"
#include "protocol/wire_text.h"
#include "queue/send_queue.h"
#include "storage/storage.h"
#include "transfer/connection.h"
#include "transfer/pipelined_sender.h"
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

// Drains the send queue, one entry at a time, from the front: with classic offers one file
// at a time, in an extended session with a window of offers outstanding.
class Sender final {
 public:
  Sender(Session& s, Connection& connection, uint32_t attempt)
      : s_(s),
        connection_(connection),
        link_(connection.link()),
        attempt_(attempt),
        meter_(s, TransferMeter::Direction::kSend),
        buffer_(HEADER_SIZE + MESSAGE_BUFFER_SIZE),
        pipeline_(s, connection, attempt, meter_, announced_) {}
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  void Run() {
    while (!stop_ && !Ended()) {
      if (link_.extended()) {
        stop_ = !ExtendedStep();
        continue;
      }
      if (s_.queue.Count() == 0) {
        // The console's --exit-after-batch: once nothing is left to send (also when the last
        // entry was an empty folder, which ends without a batch end), close our direction.
        CloseAfterBatch();
        s_.WaitFor([this] { return Ended(); }, IDLE_CHECK);
        continue;
      }
      const std::optional<std::string> entry = s_.queue.TakeFront();
      if (!entry) continue;  // the user emptied the queue meanwhile
      if (IsFolderHeader(*entry)) {
        current_dir_ = entry->substr(1);
        if (!SendText(MSG_FOLDER, 0, LocalToWireFolder(current_dir_))) break;
        announced_ = current_dir_;
        continue;
      }
      const std::string path = current_dir_ + *entry;
      if (IsDirectory(path)) {
        Expand(*entry, path);
        continue;
      }
      if (!SendFile(*entry, path)) break;
    }
    Requeue();
  }

 private:
  // One pass of the extended loop; false when the session is to end.
  bool ExtendedStep() {
    if (!pipeline_.Pump()) return false;
    if (pipeline_.Full()) return AnnounceQueue(QUEUE_SENDING) && pipeline_.Wait();
    // One step on the UI thread per file: the log lines of the files just streamed, then
    // the next entry.
    std::optional<std::string> entry;
    s_.port.RunOnUiThread([&] {
      pipeline_.ShowLog();
      entry = s_.queue.TakeFront();
    });
    if (!entry) {
      if (!pipeline_.Idle()) return AnnounceQueue(QUEUE_SENDING) && pipeline_.Wait();
      if (!AnnounceQueue(QUEUE_EMPTY) || !pipeline_.Flush()) return false;
      CloseAfterBatch();
      s_.WaitFor([this] { return Ended(); }, IDLE_CHECK);
      return true;
    }
    if (!AnnounceQueue(QUEUE_SENDING)) return false;
    if (IsFolderHeader(*entry)) {
      current_dir_ = entry->substr(1);  // announced before the first offer under it
      return true;
    }
    // Most items are files: opening first spares each a look of its own, and what cannot be
    // opened may be a folder to expand.
    const std::string path = current_dir_ + *entry;
    const int file = OpenForRead(path);
    if (file < 0 && IsDirectory(path)) {
      Expand(*entry, path);
      return true;
    }
    return pipeline_.Offer(QueuedItem{current_dir_, *entry}, file);
  }

  // The peer hears of every change of our queue's state (MSG_EXT_QUEUE), the first one as
  // soon as the session runs.
  bool AnnounceQueue(int32_t state) {
    if (state == announced_state_) return true;
    announced_state_ = state;
    return pipeline_.AnnounceQueue(state);
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

  void Undelivered() { s_.batch.undelivered.fetch_add(1); }

  // Unfinished items go back to the front of the queue, each behind the header of its
  // directory, and what was never taken keeps the header of the current one.
  void Requeue() {
    const std::vector<QueuedItem> unfinished = pipeline_.TakeUnfinished();
    std::vector<std::string> front;
    const std::string* dir = nullptr;
    for (const QueuedItem& item : unfinished) {
      if (dir == nullptr || *dir != item.dir) front.push_back(">" + item.dir);
      dir = &item.dir;
      front.push_back(item.item);
    }
    if (s_.queue.Count() != 0 && !current_dir_.empty() &&
        (dir == nullptr || *dir != current_dir_)) {
      front.push_back(">" + current_dir_);
    }
    for (size_t i = 0; i < front.size(); ++i) s_.queue.InsertAt(static_cast<int>(i), front[i]);
  }

  char* payload() { return buffer_.data() + HEADER_SIZE; }

  [[nodiscard]] bool Ended() const { return s_.Ended(attempt_); }

  bool SendMessage(int32_t type, int32_t handle, int32_t value, int32_t length) {
    StoreHeader(FrameHeader{type, handle, value, length}, buffer_.data());
    return connection_.Send(buffer_.data(), HEADER_SIZE + length);
  }

  bool SendText(int32_t type, int32_t value, const std::string& text) {
    std::memcpy(payload(), text.c_str(), text.size() + 1);
    return SendMessage(type, 0, value, static_cast<int32_t>(text.size() + 1));
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
    s_.port.RunOnUiThread([&] {
      int index = 0;
      for (const std::string& name : names) {
        std::string child = item;
        child += '/';
        child += name;
        s_.queue.InsertAt(index++, child);
      }
    });
  }

  // false when the worker is to end. A file whose transfer the end of the session cut short
  // goes back to the front of the queue, for the next session to offer again.
  bool SendFile(const std::string& entry, const std::string& path) {
    const std::optional<std::string> wire_name = LocalToWireName(entry);
    if (!wire_name || wire_name->size() >= static_cast<size_t>(MAX_TEXT)) {
      s_.port.AppendSendLog(FormatLine(text::NAME_NOT_SENDABLE, entry.c_str()));
      Undelivered();
      return true;
    }
    const int file = OpenForRead(path);
    if (file < 0) {
      s_.port.AppendSendLog(FormatLine(text::CANNOT_OPEN, entry.c_str()));
      Undelivered();
      return true;
    }
    const int32_t size = Seek(file, 0, SEEK_FROM_END);
    if (size < 0) {
      // Sizes on the wire are signed 32-bit: never offer a wrong size.
      Close(file);
      s_.port.AppendSendLog(FormatLine(text::TOO_LARGE, entry.c_str()));
      Undelivered();
      return true;
    }

    s_.reply_handle.store(REPLY_PENDING);
    if (!SendText(MSG_FILE_OFFER, size, *wire_name)) {
      Close(file);
      s_.queue.InsertAt(0, entry);
      return false;
    }
    while (!s_.WaitFor([this] { return s_.reply_handle.load() != REPLY_PENDING || Ended(); },
                       IDLE_CHECK)) {
    }
    if (Ended()) {
      Close(file);
      s_.queue.InsertAt(0, entry);
      return false;
    }
    const int32_t handle = s_.reply_handle.load();
    const int32_t held = s_.reply_size.load();

    if (handle < 0) {
      s_.port.AppendSendLog(FormatLine(text::CANNOT_SEND, entry.c_str()));
      Undelivered();
    } else if (size <= held) {
      s_.port.AppendSendLog(FormatLine(text::EXISTS, entry.c_str()));
    } else {
      Stream(file, handle, size, held, entry);
    }
    Close(file);

    // Until the close has gone out, the peer may not have all of it: the next session's
    // offer finds out (a whole file is skipped as existing).
    if (Ended() || stop_ || !SendMessage(MSG_FILE_CLOSE, handle, 0, 0)) {
      s_.queue.InsertAt(0, entry);
      return false;
    }
    if (s_.queue.Count() != 0) return true;

    s_.port.AppendSendLog(text::SEND_DONE);
    if (!SendMessage(MSG_BATCH_DONE, 0, 0, 0)) return false;
    meter_.Reset();
    return true;
  }

  void Stream(int file, int32_t handle, int32_t size, int32_t held, const std::string& entry) {
    s_.port.AppendSendLog(FormatLine(text::SENDING, entry.c_str(), size));
    int64_t offset = Seek(file, 0, SEEK_FROM_START);
    if (held > 0) {
      // Resume one byte before what the peer holds: its last byte is sent again.
      offset = Seek(file, held - 1, SEEK_FROM_START);
      s_.port.AppendSendLog(FormatLine(text::RESUMING, held));
      if (offset < 0 || !SendMessage(MSG_FILE_SEEK, handle, held - 1, 0)) stop_ = true;
    }
    meter_.BeginFile(size);
    if (held > 0) meter_.SetPosition(held - 1);

    // The file is read to its end, also when it grew since the offer, but never past what
    // a 32-bit offset can name.
    while (!stop_ && !Ended()) {
      const int count = static_cast<int>(std::min<int64_t>(CHUNK_SIZE, INT32_MAX - offset));
      if (count <= 0) break;
      const int got = Read(file, payload(), count);
      if (got < 0) {
        // The peer keeps what it has and a later offer resumes it; say why it is short.
        s_.port.AppendSendLog(FormatLine(text::READ_FAILED, entry.c_str()));
        Undelivered();
        break;
      }
      if (got == 0) break;
      if (!SendMessage(MSG_FILE_DATA, handle, 0, got)) {
        stop_ = true;
        break;
      }
      offset += got;
      meter_.Advance(got);
    }
    if (stop_ || Ended()) {
      s_.port.AppendSendLog(FormatLine(text::SEND_ABORTED, entry.c_str(),
                                       static_cast<long long>(std::max<int64_t>(offset, 0))));
    }
  }

  Session& s_;
  Connection& connection_;
  PeerLink& link_;
  const uint32_t attempt_;
  TransferMeter meter_;
  std::vector<char> buffer_;
  std::string current_dir_;
  std::optional<std::string> announced_;  // the folder the peer last heard of
  PipelinedSender pipeline_;
  bool stop_ = false;
  bool closed_ = false;                           // our sending direction has been shut down
  int32_t announced_state_ = PEER_QUEUE_UNKNOWN;  // the queue state the peer last heard of
};

// The files below `path`, by the rules Expand sends them by.
int CountFilesBelow(const std::string& path) {
  std::vector<std::string> names;
  std::vector<std::string> links;
  if (!ListFolder(path, names, links)) return 1;
  int count = 0;
  for (const std::string& name : names) {
    std::string child = path;
    child.append("/").append(name);
    count += IsDirectory(child) ? CountFilesBelow(child) : 1;
  }
  return count;
}

}  // namespace

int CountQueuedFiles(const std::vector<std::string>& entries) {
  int count = 0;
  std::string dir;
  for (const std::string& entry : entries) {
    if (IsFolderHeader(entry)) {
      dir = entry.substr(1);
    } else {
      const std::string path = dir + entry;
      count += IsDirectory(path) ? CountFilesBelow(path) : 1;
    }
  }
  return count;
}

uint32_t SendWorker(void* parameter) {
  return RunWorker(parameter, &Session::send_thread, true,
                   [](Session& s, Connection& connection, uint32_t attempt) {
                     Sender sender(s, connection, attempt);
                     sender.Run();
                   });
}

}  // namespace tovrin
