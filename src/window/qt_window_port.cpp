#include "window/qt_window_port.h"

#include <QCheckBox>
#include <QTimer>
#include <chrono>

#include "port/format.h"
#include "port/texts.h"
#include "session/lifecycle.h"
#include "window/main_window.h"

namespace tovrin {
namespace {

// How often worker updates of the bars and the status line reach the screen at most.
constexpr std::chrono::milliseconds METER_INTERVAL(40);
// How long a worker looks for the UI thread's answer before it goes to sleep: a send worker
// makes several calls per small file, and a sleep and a wake-up cost more than this.
constexpr std::chrono::microseconds ANSWER_SPIN(60);

// A hint to the processor that this thread is waiting in a loop.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

QtWindowPort::~QtWindowPort() { Shutdown(); }

void QtWindowPort::Attach(MainWindow* window, std::function<void(uint32_t)> on_socket) {
  auto* receiver = new QObject();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ui_thread_ = std::this_thread::get_id();
    window_ = window;
    receiver_ = receiver;
    on_socket_ = std::move(on_socket);
    meters_ = Meters{};
    open_ = true;
  }
  window_gone_ = QObject::connect(window, &QObject::destroyed, receiver, [this] { Shutdown(); });
  // The checkbox's state as the UI thread last saw it, so that a worker reads it at every
  // offer without a round trip.
  QCheckBox* box = window->subfolders();
  const auto keep = [this](bool checked) {
    std::lock_guard<std::mutex> lock(mutex_);
    subfolders_ = checked;
  };
  keep(box->isChecked());
  QObject::connect(box, &QCheckBox::toggled, receiver, keep);
}

void QtWindowPort::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_ || !OnUiThread()) return;
    open_ = false;
    for (const std::shared_ptr<Call>& call : pending_) call->abandoned = true;
    pending_.clear();
    meters_ = Meters{};
  }
  finished_.notify_all();
  QObject::disconnect(window_gone_);
  StopWatching();
  StopWatchingConnect();
  // Later, not now: Shutdown may run inside one of the receiver's own calls. Calls still
  // queued for it find themselves abandoned.
  receiver_->deleteLater();
  receiver_ = nullptr;
  window_ = nullptr;
  on_socket_ = nullptr;
}

int QtWindowPort::PendingCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(pending_.size());
}

bool QtWindowPort::RunOnUiThread(const std::function<void()>& task) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!open_) return false;
  if (OnUiThread()) {
    lock.unlock();
    task();
    return true;
  }
  auto call = std::make_shared<Call>();
  call->task = &task;
  pending_.push_back(call);
  // Posted under the lock, so Shutdown cannot remove the receiver in between.
  QMetaObject::invokeMethod(
      receiver_, [this, call] { Execute(call); }, Qt::QueuedConnection);
  lock.unlock();
  // The UI thread usually answers within tens of microseconds.
  const auto until = std::chrono::steady_clock::now() + ANSWER_SPIN;
  for (unsigned spins = 1; !call->finished.load(std::memory_order_acquire); ++spins) {
    if (spins % 64 == 0 && std::chrono::steady_clock::now() >= until) break;
    CpuRelax();
  }
  lock.lock();
  finished_.wait(lock, [&] { return call->done || call->abandoned; });
  return call->done;
}

void QtWindowPort::Execute(const std::shared_ptr<Call>& call) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (call->abandoned) return;
    std::erase(pending_, call);
  }
  (*call->task)();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    call->done = true;
  }
  call->finished.store(true, std::memory_order_release);
  finished_.notify_all();
}

void QtWindowPort::AppendChatLog(const std::string& text) {
  RunOnUiThread([&] { window_->AppendLog(window_->chat_log(), text); });
}

void QtWindowPort::AppendSendLog(const std::string& text) {
  RunOnUiThread([&] { window_->AppendLog(window_->send_log(), text); });
}

void QtWindowPort::AppendRecvLog(const std::string& text) {
  RunOnUiThread([&] { window_->AppendLog(window_->recv_log(), text); });
}

void QtWindowPort::AppendRecvFileLog(const std::string& text, const std::string& folder) {
  RunOnUiThread([&] { window_->AppendLog(window_->recv_log(), text, folder); });
}

void QtWindowPort::AskForAttention() {
  RunOnUiThread([&] { window_->AskForAttention(); });
}

void QtWindowPort::SetSendProgress(int percent) {
  PostMeter([percent](Meters& m) {
    m.send_percent = percent;
    m.send_dirty = true;
  });
}

void QtWindowPort::SetRecvProgress(int percent) {
  PostMeter([percent](Meters& m) {
    m.recv_percent = percent;
    m.recv_dirty = true;
  });
}

void QtWindowPort::SetStatusText(const std::string& text) {
  PostMeter([&text](Meters& m) {
    m.status = text;
    m.status_dirty = true;
  });
}

void QtWindowPort::SetSendBatchText(const std::string& text) {
  PostMeter([&text](Meters& m) {
    m.send_text = text;
    m.send_text_dirty = true;
  });
}

void QtWindowPort::SetRecvBatchText(const std::string& text) {
  PostMeter([&text](Meters& m) {
    m.recv_text = text;
    m.recv_text_dirty = true;
  });
}

void QtWindowPort::PostMeter(const std::function<void(Meters&)>& store) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!open_) return;
  store(meters_);
  if (OnUiThread()) {
    lock.unlock();
    ApplyMeters();
    return;
  }
  if (meters_.posted) return;
  meters_.posted = true;
  // A worker updates the meter after every 32 KiB chunk; the window shows the latest values
  // a few dozen times a second instead of painting for every one of them.
  QMetaObject::invokeMethod(
      receiver_,
      [this] { QTimer::singleShot(METER_INTERVAL, receiver_, [this] { ApplyMeters(); }); },
      Qt::QueuedConnection);
}

void QtWindowPort::ApplyMeters() {
  Meters latest;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return;
    latest = meters_;
    meters_.send_dirty = meters_.recv_dirty = meters_.status_dirty = false;
    meters_.send_text_dirty = meters_.recv_text_dirty = false;
    meters_.posted = false;
  }
  if (latest.send_dirty) window_->send_progress()->setValue(latest.send_percent);
  if (latest.recv_dirty) window_->recv_progress()->setValue(latest.recv_percent);
  if (latest.status_dirty) window_->status()->setText(QString::fromStdString(latest.status));
  if (latest.send_text_dirty) window_->SetBatchText(true, QString::fromStdString(latest.send_text));
  if (latest.recv_text_dirty)
    window_->SetBatchText(false, QString::fromStdString(latest.recv_text));
}

bool QtWindowPort::IsSubfoldersChecked() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_ && subfolders_;
}

std::string QtWindowPort::GetInputText() {
  std::string text;
  RunOnUiThread([&] { text = window_->address()->text().toStdString(); });
  return text;
}

void QtWindowPort::SetInputText(const std::string& text) {
  RunOnUiThread([&] { window_->address()->setText(QString::fromStdString(text)); });
}

void QtWindowPort::SetConnectLabel(const std::string& text) {
  RunOnUiThread(
      [&] { window_->SetButtonText(window_->connect_button(), QString::fromStdString(text)); });
}

void QtWindowPort::SetTitle(const std::string& title) {
  RunOnUiThread([&] { window_->setWindowTitle(QString::fromStdString(title)); });
}

void QtWindowPort::EnableConnect(bool enabled) {
  RunOnUiThread([&] { window_->connect_button()->setEnabled(enabled); });
}

void QtWindowPort::EnableDisconnect(bool enabled) {
  RunOnUiThread([&] { window_->disconnect_button()->setEnabled(enabled); });
}

void QtWindowPort::SelectTab(int index) {
  RunOnUiThread([&] { window_->SelectTab(index); });
}

void QtWindowPort::ShowPairingCode(const std::string& code) {
  AppendChatLog(FormatLine(text::PAIRING_CODE, code.c_str()));
}

std::optional<std::string> QtWindowPort::AskPairingCode(const std::string& fingerprint) {
  // A window that is gone, or has no one to ask, gives the connection up.
  std::optional<std::string> code;
  RunOnUiThread([&] {
    // A copy: the window, and its handler with it, may go while the dialog is open.
    const auto ask = window_->ask_pairing_code;
    if (ask) code = ask(fingerprint);
  });
  return code;
}

void QtWindowPort::AskIncomingBatch(const IncomingBatch& batch,
                                    const std::function<void(bool)>& answer) {
  if (!RunOnUiThread([&] { window_->notices()->Ask(batch, answer); })) answer(false);
}

void QtWindowPort::CloseBatchQuestion(uint64_t id) {
  RunOnUiThread([&] { window_->notices()->Close(id); });
}

void QtWindowPort::NotifyChatLine(const std::string& text) {
  RunOnUiThread([&] { window_->notices()->ChatLine(text); });
}

void QtWindowPort::NotifyBatchReceived(uint64_t files, const std::string& folder) {
  RunOnUiThread([&] { window_->notices()->BatchReceived(files, folder); });
}

void QtWindowPort::WatchListenSocket(int fd) {
  RunOnUiThread([&] {
    StopWatching();
    if (fd < 0) return;
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, receiver_);
    QObject::connect(notifier_, &QSocketNotifier::activated, receiver_, [this] {
      if (on_socket_) on_socket_(FD_ACCEPT);
    });
  });
}

bool QtWindowPort::WatchConnectSocket(int fd, int timeout_ms) {
  bool watching = false;
  RunOnUiThread([&] {
    StopWatchingConnect();
    if (fd < 0) return;
    auto report = [this] {
      if (on_socket_) on_socket_(FD_CONNECT);
    };
    connect_notifier_ = new QSocketNotifier(fd, QSocketNotifier::Write, receiver_);
    QObject::connect(connect_notifier_, &QSocketNotifier::activated, receiver_, report);
    connect_timer_ = new QTimer(receiver_);
    connect_timer_->setSingleShot(true);
    QObject::connect(connect_timer_, &QTimer::timeout, receiver_, report);
    connect_timer_->start(timeout_ms);
    watching = true;
  });
  return watching;
}

void QtWindowPort::StopWatchingConnect() {
  if (connect_timer_ != nullptr) {
    connect_timer_->stop();
    connect_timer_->deleteLater();
    connect_timer_ = nullptr;
  }
  if (connect_notifier_ != nullptr) {
    // As for the listening socket: the descriptor is closed right after this.
    connect_notifier_->setEnabled(false);
    connect_notifier_->deleteLater();
    connect_notifier_ = nullptr;
  }
}

void QtWindowPort::StopWatching() {
  if (notifier_ == nullptr) return;
  // Disabled now, so the descriptor may be closed right after; deleted once its own
  // activation (which may have led here) has returned.
  notifier_->setEnabled(false);
  notifier_->deleteLater();
  notifier_ = nullptr;
}

}  // namespace tovrin
