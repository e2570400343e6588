#include "window/my_wnd.h"

#include <QIcon>
#include <QSettings>
#include <memory>
#include <string>
#include <vector>

#include "port/format.h"
#include "port/texts.h"
#include "session/address.h"
#include "session/lifecycle.h"
#include "session/opening.h"
#include "session/security_loader.h"
#include "window/main_window.h"
#include "window/nearby_field.h"
#include "window/peers_dialog.h"
#include "window/translation.h"

// The icons sit in the static window library, whose resource object nothing else refers
// to; registering them here keeps the linker from leaving them out. The macro has to be used
// outside any namespace.
static void LoadWindowResources() { Q_INIT_RESOURCE(tovrin); }

namespace tovrin {
namespace {

// The subfolder choice and the window's place, kept between runs.
constexpr char SUBFOLDERS_KEY[] = "subfolders";
constexpr char GEOMETRY_KEY[] = "geometry";
constexpr char CLASSIC_KEY[] = "classic";
constexpr char PAIRED_ONLY_KEY[] = "paired_only";
constexpr char KEEP_WAITING_KEY[] = "keep_waiting";
constexpr char ACCEPT_PAIRED_KEY[] = "accept_paired";
// The installation's name; absent while it is login@host.
constexpr char NAME_KEY[] = "name";

}  // namespace

QSettings OpenSettings() { return QSettings(QStringLiteral("Tovrin"), QStringLiteral("Tovrin")); }

CMyWnd::CMyWnd(std::string save_dir, std::string config_dir)
    : config_dir(std::move(config_dir)), queue(port), session(port, queue, std::move(save_dir)) {}

CMyWnd::~CMyWnd() {
  queue.SetView(nullptr);
  port.Shutdown();
  DiscardWindow();
}

MainWindow* CMyWnd::main_window() const { return qobject_cast<MainWindow*>(dialog_window()); }

QWidget* CMyWnd::MakeWindow(QWidget* parent) { return new MainWindow(parent); }

bool CMyWnd::OnInitDialog() {
  LoadWindowResources();
  MainWindow* window = main_window();
  port.Attach(window, [this](uint32_t event) { OnSocketNotify(session, event); });
  window->send_progress()->setRange(0, 100);
  window->recv_progress()->setRange(0, 100);
  window->on_drop = [this](const std::vector<std::string>& paths) { queue.AddDropped(paths); };
  window->address()->setText(QString::fromStdString(OwnAddress()));
  queue.SetView(window->send_list());
  window->send_list()->on_delete = [this] { queue.RemoveSelected(); };
  QIcon icon;
  icon.addFile(":/tovrin-16.png", QSize(16, 16));
  icon.addFile(":/tovrin-32.png", QSize(32, 32));
  window->setWindowIcon(icon);
  for (const Text<> tab :
       {text::TAB_CHAT, text::TAB_SEND_LIST, text::TAB_SEND_LOG, text::TAB_RECV_LOG}) {
    window->tabs()->bar()->addTab(Tr(tab));
  }
  // The save directory's line lets the user open it.
  window->AppendLog(window->chat_log(), FormatLine(text::SAVING_TO, session.save_dir.c_str()),
                    session.save_dir);
  session.security.name = OpenSettings().value(NAME_KEY).toString().toStdString();
  LoadSecurity(session, config_dir);
  // Connecting to a peer whose key is unknown asks the user for its pairing code.
  session.security.ask_code = true;
  // A batch from anyone but a paired peer is received only once the user accepted it.
  session.options.accept.store(AcceptPolicy::kAsk);
  port.SelectTab(0);
  window->on_disconnect = [this] { Teardown(session); };
  window->on_tab_changed = [this] { OnNotify(TCN_SELCHANGE); };
  const QSettings settings = OpenSettings();
  window->subfolders()->setChecked(settings.value(SUBFOLDERS_KEY, false).toBool());
  // Read by the workers as a session starts: a change applies from the next session on.
  QObject::connect(window->classic_action(), &QAction::toggled, window,
                   [this](bool classic) { session.options.classic.store(classic); });
  window->classic_action()->setChecked(settings.value(CLASSIC_KEY, false).toBool());
  // The security settings are read on the UI thread as an attempt starts.
  QObject::connect(window->paired_only_action(), &QAction::toggled, window,
                   [this](bool only) { session.security.paired_only = only; });
  window->paired_only_action()->setChecked(settings.value(PAIRED_ONLY_KEY, false).toBool());
  // Read as each batch is answered.
  QObject::connect(window->accept_paired_action(), &QAction::toggled, window,
                   [this](bool accept) { session.options.accept_paired.store(accept); });
  window->accept_paired_action()->setChecked(settings.value(ACCEPT_PAIRED_KEY, true).toBool());
  session.options.accept_paired.store(window->accept_paired_action()->isChecked());
  window->peers_action()->setEnabled(session.security.peers != nullptr);
  // The nearby peers as the address field's completions, and the choice of announcing.
  auto* nearby = new NearbyField(window, session);
  // A peer picked from the list is expected to hold the key it announced (read as the
  // attempt starts; the attempt's end clears it). The address typed is offered next time.
  window->on_connect = [this, window, nearby] {
    if (session.idle.load() == 1) {
      session.security.expected_key = nearby->PickedKeyFor(window->address()->text());
      nearby->Remember(window->address()->text());
    }
    OnConnect(session);
  };
  QObject::connect(window->peers_action(), &QAction::triggered, window, [this] { ShowPeers(); });
  window->on_offer_code = [this] { (void)OfferPairingCode(session); };
  // Read on the UI thread as a session ends.
  QObject::connect(window->keep_waiting_action(), &QAction::toggled, window,
                   [this](bool keep) { session.options.keep_waiting.store(keep); });
  window->keep_waiting_action()->setChecked(settings.value(KEEP_WAITING_KEY, false).toBool());
  QObject::connect(window->name_action(), &QAction::triggered, window, [this] { ChangeName(); });
  // After the tray menu's own handling: the menu goes with the window.
  window->on_quit = [this, window] {
    QMetaObject::invokeMethod(
        window, [this] { Destroy(); }, Qt::QueuedConnection);
  };
  // A restored place counts as moved: the frame then does not centre the window.
  window->restoreGeometry(settings.value(GEOMETRY_KEY).toByteArray());
  window->WidenForTabs();
  window->LayOut();
  // Typing an address is the first thing to do.
  window->address()->setFocus();
  session.idle = 1;
  session.Notify();
  return true;
}

void CMyWnd::ShowPeers() {
  MainWindow* window = main_window();
  if (window == nullptr || !session.security.peers || !session.security.identity) return;
  auto* dialog = new PeersDialog(window, session.security.peers,
                                 Fingerprint(session.security.identity->key_hash));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->open();
}

void CMyWnd::ChangeName() {
  MainWindow* window = main_window();
  if (window == nullptr || !window->ask_name) return;
  const std::string fallback = DefaultInstallationName();
  const std::optional<std::string> typed = window->ask_name(session.security.name, fallback);
  if (!typed) return;
  // Peers get the name as it is kept: cleaned and cut as it would be on the wire.
  const std::string name = InstallationName(QString::fromStdString(*typed).trimmed().toStdString());
  QSettings settings = OpenSettings();
  if (name.empty() || name == fallback) {
    settings.remove(NAME_KEY);
    session.security.name = fallback;
  } else {
    settings.setValue(NAME_KEY, QString::fromStdString(name));
    session.security.name = name;
  }
}

bool CMyWnd::OnNotify(int code) {
  if (code == TCN_SELCHANGE) {
    if (MainWindow* window = main_window()) port.SelectTab(window->tabs()->bar()->currentIndex());
  }
  return true;
}

bool CMyWnd::OnClose() {
  MainWindow* window = main_window();
  return window == nullptr || !window->keep_waiting_action()->isChecked() || !window->HideToTray();
}

bool CMyWnd::OnDestroy() {
  if (MainWindow* window = main_window()) {
    QSettings settings = OpenSettings();
    settings.setValue(SUBFOLDERS_KEY, window->subfolders()->isChecked());
    settings.setValue(CLASSIC_KEY, window->classic_action()->isChecked());
    settings.setValue(PAIRED_ONLY_KEY, window->paired_only_action()->isChecked());
    settings.setValue(ACCEPT_PAIRED_KEY, window->accept_paired_action()->isChecked());
    settings.setValue(KEEP_WAITING_KEY, window->keep_waiting_action()->isChecked());
    settings.setValue(GEOMETRY_KEY, window->saveGeometry());
  }
  tovrin::OnDestroy(session);
  CDLG::OnDestroy();
  queue.SetView(nullptr);
  port.Shutdown();
  return true;
}

}  // namespace tovrin
