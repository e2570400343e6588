#pragma once

#include <QAction>
#include <QCompleter>
#include <QObject>
#include <QStandardItemModel>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nearby/browser.h"
#include "secure/identity.h"

class QLineEdit;

namespace tovrin {

class MainWindow;
struct Session;

// One completion of the address field: what the list shows, what picking it puts in the field
// (address:port) and why it is marked.
struct CompletionRow {
  QString text;
  QString fill;
  QString tip;
};
// The rows for `peers`, in their order: paired peers marked so, and a warning on an entry that
// carries a paired peer's name with another key.
[[nodiscard]] std::vector<CompletionRow> CompletionRows(
    const std::vector<NearbyPeer>& peers, const std::vector<PeerStore::Entry>& paired);

// How many addresses typed into the address field are remembered.
inline constexpr int ADDRESS_HISTORY = 10;
// The remembered addresses, newest first, once a connect started with `typed`: it moves to the
// front, and the oldest beyond ADDRESS_HISTORY go. Nothing changes for an empty text, the own
// address `own` (which waits instead) or a text that names no address or host.
[[nodiscard]] QStringList Remembered(QStringList history, const QString& typed,
                                     const std::string& own);
// The completions: the nearby peers' rows, then the remembered addresses that no nearby row
// fills already.
[[nodiscard]] std::vector<CompletionRow> MergedRows(std::vector<CompletionRow> nearby,
                                                    const QStringList& history);

// The address field's completions: the peers waiting nearby, kept live by a browser, and the
// addresses last typed (kept between runs), offered while no session or attempt runs (then the
// field is the chat input) when the field gets the focus or the user presses Down; picking one
// fills the field with its address:port. Also the chat log's choice of announcing a wait to
// nearby peers, kept between runs. UI thread; the browser's changes come from the Avahi event
// thread and are taken on the UI thread.
class NearbyField final : public QObject {
  Q_OBJECT

 public:
  NearbyField(MainWindow* window, Session& session);
  // Stops the browser before anything its changes reach goes.
  ~NearbyField() override;

  [[nodiscard]] QStandardItemModel* model() const { return model_; }
  [[nodiscard]] QCompleter* completer() const { return completer_; }
  [[nodiscard]] QAction* announce_action() const { return announce_; }

  // The key to expect when connecting to `address_text`: that of the peer picked from the list,
  // while the field still holds what picking it put there; none otherwise.
  [[nodiscard]] std::optional<KeyHash> PickedKeyFor(const QString& address_text) const;

  // A connect starts with `typed` in the field: remembered for the completions.
  void Remember(const QString& typed);
  // Shows the completions when there are some and no session or attempt runs.
  void Offer();
  // Takes the browser's list and status anew.
  void Refresh();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The model anew from the listed peers and the remembered addresses.
  void Fill();

  // The window's address field, kept by itself: its events still arrive while the window is
  // being destroyed, when the window no longer answers as a MainWindow.
  QLineEdit* field_;
  Session& session_;
  QStandardItemModel* model_;
  QCompleter* completer_;
  QAction* announce_;
  std::unique_ptr<Browser> browser_;
  std::vector<NearbyPeer> peers_;  // as listed, row for row
  QStringList history_;            // newest first
  std::optional<NearbyPeer> picked_;
};

}  // namespace tovrin
