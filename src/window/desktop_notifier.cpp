#include "window/desktop_notifier.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>
#include <utility>

namespace tovrin {
namespace {

const QString SERVICE = QStringLiteral("org.freedesktop.Notifications");
const QString PATH = QStringLiteral("/org/freedesktop/Notifications");
const QString INTERFACE = QStringLiteral("org.freedesktop.Notifications");

QDBusMessage MethodCall(const QString& method) {
  return QDBusMessage::createMethodCall(SERVICE, PATH, INTERFACE, method);
}

}  // namespace

DesktopNotifier::DesktopNotifier(QObject* parent, const QDBusConnection& bus)
    : QObject(parent), bus_(bus) {
  if (!bus_.isConnected()) return;
  // From any sender, so that connecting asks the bus nothing; a signal counts only when it
  // comes from the service that showed the notification.
  bus_.connect(QString(), PATH, INTERFACE, QStringLiteral("ActionInvoked"), this,
               SLOT(OnActionInvoked(uint, QString, QDBusMessage)));
  bus_.connect(QString(), PATH, INTERFACE, QStringLiteral("NotificationClosed"), this,
               SLOT(OnClosed(uint, uint, QDBusMessage)));
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(MethodCall("GetCapabilities")), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
    call->deleteLater();
    const QDBusPendingReply<QStringList> reply = *call;
    if (!reply.isError()) markup_ = reply.value().contains(QStringLiteral("body-markup"));
  });
}

DesktopNotifier::~DesktopNotifier() {
  for (const auto& [number, shown] : shown_) {
    if (shown.id != 0) CloseById(shown.id);
  }
}

uint64_t DesktopNotifier::Show(const QString& summary, const QString& body,
                               const std::vector<Action>& actions,
                               std::function<void(const QString& key)> on_action, bool lasting,
                               uint64_t replaced) {
  const uint64_t number = ++last_;
  if (!bus_.isConnected()) return number;
  uint replaces_id = 0;
  if (const auto old = shown_.find(replaced); old != shown_.end()) {
    replaces_id = old->second.id;
    shown_.erase(old);
  }
  QStringList keys_and_labels;
  for (const Action& action : actions) keys_and_labels << action.key << action.label;
  const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("tovrin")}};
  QDBusMessage call = MethodCall(QStringLiteral("Notify"));
  call << QStringLiteral("Tovrin") << replaces_id << QStringLiteral("tovrin") << summary
       << (markup_ ? body.toHtmlEscaped() : body) << keys_and_labels << hints << (lasting ? 0 : -1);
  shown_[number].on_action = std::move(on_action);
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, number](QDBusPendingCallWatcher* answer) {
            answer->deleteLater();
            const QDBusPendingReply<uint> reply = *answer;
            const auto shown = shown_.find(number);
            if (reply.isError()) {
              if (shown != shown_.end()) shown_.erase(shown);
            } else if (shown == shown_.end()) {
              // Closed before the service had answered.
              CloseById(reply.value());
            } else {
              shown->second.id = reply.value();
              shown->second.owner = reply.reply().service();
            }
          });
  return number;
}

void DesktopNotifier::Close(uint64_t number) {
  const auto shown = shown_.find(number);
  if (shown == shown_.end()) return;
  const uint id = shown->second.id;
  shown_.erase(shown);
  // Without the service's number yet, the answer to Notify closes it.
  if (id != 0) CloseById(id);
}

void DesktopNotifier::CloseById(uint id) {
  QDBusMessage call = MethodCall(QStringLiteral("CloseNotification"));
  call << id;
  bus_.call(call, QDBus::NoBlock);
}

std::map<uint64_t, DesktopNotifier::Shown>::iterator DesktopNotifier::Find(uint id,
                                                                           const QString& owner) {
  for (auto shown = shown_.begin(); shown != shown_.end(); ++shown) {
    if (id != 0 && shown->second.id == id && shown->second.owner == owner) return shown;
  }
  return shown_.end();
}

void DesktopNotifier::OnActionInvoked(uint id, const QString& key, const QDBusMessage& message) {
  const auto shown = Find(id, message.service());
  if (shown == shown_.end() || !shown->second.on_action) return;
  // A copy: the action may close the notification, and its entry with it.
  const auto on_action = shown->second.on_action;
  on_action(key);
}

void DesktopNotifier::OnClosed(uint id, uint /*reason*/, const QDBusMessage& message) {
  if (const auto shown = Find(id, message.service()); shown != shown_.end()) shown_.erase(shown);
}

}  // namespace tovrin
