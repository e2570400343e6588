#include "port/inline_port.h"

#include "port/format.h"
#include "port/texts.h"

namespace tovrin {

InlinePort::UiLock::UiLock(InlinePort& port) : port_(port) {
  port_.mutex_.lock();
  if (port_.depth_++ == 0) port_.owner_.store(std::this_thread::get_id());
}

InlinePort::UiLock::~UiLock() {
  if (--port_.depth_ == 0) port_.owner_.store(std::thread::id());
  port_.mutex_.unlock();
}

InlinePort::InlinePort() {
  controls_.connect_label = text::CONNECT.get();
  controls_.status_text = text::STATUS_INITIAL.get();
}

void InlinePort::AppendChatLog(const std::string& text) {
  const UiLock ui(*this);
  if (open()) WriteLog(Log::kChat, text);
}

void InlinePort::AppendSendLog(const std::string& text) {
  const UiLock ui(*this);
  if (open()) WriteLog(Log::kSend, text);
}

void InlinePort::AppendRecvLog(const std::string& text) {
  const UiLock ui(*this);
  if (open()) WriteLog(Log::kRecv, text);
}

void InlinePort::SetSendProgress(int percent) {
  const UiLock ui(*this);
  if (open()) controls_.send_progress = percent;
}

void InlinePort::SetRecvProgress(int percent) {
  const UiLock ui(*this);
  if (open()) controls_.recv_progress = percent;
}

void InlinePort::SetStatusText(const std::string& text) {
  const UiLock ui(*this);
  if (!open()) return;
  controls_.status_text = text;
  StatusChanged(text);
}

bool InlinePort::IsSubfoldersChecked() {
  const UiLock ui(*this);
  return open() && subfolders_;
}

std::string InlinePort::GetInputText() {
  const UiLock ui(*this);
  return open() ? controls_.input_text : std::string();
}

void InlinePort::SetInputText(const std::string& text) {
  const UiLock ui(*this);
  if (open()) controls_.input_text = text;
}

void InlinePort::SetConnectLabel(const std::string& text) {
  const UiLock ui(*this);
  if (open()) controls_.connect_label = text;
}

void InlinePort::EnableConnect(bool enabled) {
  const UiLock ui(*this);
  if (open()) controls_.connect_enabled = enabled;
}

void InlinePort::EnableDisconnect(bool enabled) {
  const UiLock ui(*this);
  if (open()) controls_.disconnect_enabled = enabled;
}

void InlinePort::SelectTab(int index) {
  const UiLock ui(*this);
  if (open()) controls_.tab = index;
}

void InlinePort::ShowPairingCode(const std::string& code) {
  AppendChatLog(FormatLine(text::PAIRING_CODE, code.c_str()));
}

bool InlinePort::RunOnUiThread(const std::function<void()>& task) { return RunStep(task, false); }

bool InlinePort::RunRoutineOnUiThread(const std::function<void()>& task) {
  return RunStep(task, true);
}

bool InlinePort::RunStep(const std::function<void()>& task, bool routine) {
  const UiLock ui(*this);
  if (!open()) return false;
  if (steps_++ == 0) routine_step_ = routine;
  task();
  if (--steps_ == 0) StepRan(routine_step_);
  return true;
}

void InlinePort::WatchListenSocket(int fd) {
  const UiLock ui(*this);
  if (open()) watched_socket_.store(fd);
}

bool InlinePort::IsUiThread() { return owner_.load() == std::this_thread::get_id(); }

void InlinePort::SetSubfoldersChecked(bool checked) {
  const UiLock ui(*this);
  subfolders_ = checked;
}

InlinePort::Controls InlinePort::controls() {
  const UiLock ui(*this);
  return controls_;
}

void InlinePort::Close() {
  const UiLock ui(*this);
  if (closed_) return;
  Closing();
  closed_ = true;
  watched_socket_.store(-1);
}

}  // namespace tovrin
