#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace tovrin {

// Notifications through the desktop's notification service (org.freedesktop.Notifications on
// the session bus). Every call to the service is asynchronous and nothing waits for its
// answer: without a bus, or with no owner of the service's name, a notification is simply
// never shown. Only the service that showed a notification can report its actions. UI thread
// only.
class DesktopNotifier final : public QObject {
  Q_OBJECT

 public:
  // An action of a notification: the key reported back and the label shown. DEFAULT_ACTION
  // is a click on the notification itself.
  struct Action {
    QString key;
    QString label;
  };
  static constexpr char DEFAULT_ACTION[] = "default";

  // On `bus`: the session bus unless a test gives its own.
  explicit DesktopNotifier(QObject* parent,
                           const QDBusConnection& bus = QDBusConnection::sessionBus());
  // Takes away what is still shown: nothing would act on its actions any more.
  ~DesktopNotifier() override;

  // Shows a notification, in place of `replaced` (this object's number of one still shown,
  // or 0), and returns this object's number for it (never 0). The texts are plain. A lasting
  // one stays until it is answered or closed. `on_action` runs with an action's key when the
  // user picks one.
  [[nodiscard]] uint64_t Show(const QString& summary, const QString& body,
                              const std::vector<Action>& actions,
                              std::function<void(const QString& key)> on_action,
                              bool lasting = false, uint64_t replaced = 0);
  // Takes notification `number` away if it is still shown; its actions are no longer
  // reported. 0 and numbers already gone are ignored.
  void Close(uint64_t number);

 private slots:
  void OnActionInvoked(uint id, const QString& key, const QDBusMessage& message);
  void OnClosed(uint id, uint reason, const QDBusMessage& message);

 private:
  struct Shown {
    uint id = 0;    // the service's number, 0 until its answer arrives
    QString owner;  // the bus name of the service that answered
    std::function<void(const QString&)> on_action;
  };
  // The notification the service knows as `id`, from `owner`, or end().
  std::map<uint64_t, Shown>::iterator Find(uint id, const QString& owner);
  void CloseById(uint id);

  QDBusConnection bus_;
  // Whether the service reads markup in a body, which a plain body then has escaped.
  bool markup_ = true;
  uint64_t last_ = 0;
  std::map<uint64_t, Shown> shown_;
};

}  // namespace tovrin
