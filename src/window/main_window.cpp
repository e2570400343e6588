#include "window/main_window.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QResizeEvent>
#include <QStringList>
#include <QStyle>
#include <QUrl>
#include <algorithm>

#include "port/format.h"
#include "port/texts.h"
#include "window/pairing_code_dialog.h"
#include "window/translation.h"

namespace tovrin {
namespace {

// Below this client size the address field or the page area would get a negative size.
constexpr int MIN_CLIENT_WIDTH = 200;
constexpr int MIN_CLIENT_HEIGHT = 120;
// The window's design size in dialog units (a quarter of the average character width
// across, an eighth of the line height down).
constexpr int DESIGN_WIDTH_DU = 184;
constexpr int DESIGN_HEIGHT_DU = 138;

QAction* Separator(QObject* parent) {
  auto* separator = new QAction(parent);
  separator->setSeparator(true);
  return separator;
}

std::optional<std::string> AskInstallationName(QWidget* parent, const std::string& current,
                                               const std::string& fallback) {
  bool ok = false;
  const QString name = QInputDialog::getText(
      parent, Tr("この端末の名前"),
      Tr("相手に見える名前です。空にすると %1 に戻ります。").arg(QString::fromStdString(fallback)),
      QLineEdit::Normal, QString::fromStdString(current), &ok);
  if (!ok) return std::nullopt;
  return name.toStdString();
}

// A progress bar's tooltip while no batch runs.
QString BarTip(bool send) {
  return send ? Tr("送信中のファイルの進み具合") : Tr("受信中のファイルの進み具合");
}

}  // namespace

MainWindow::MainWindow(QWidget* parent)
    : QWidget(parent),
      subfolders_(new QCheckBox(this)),
      address_(new QLineEdit(this)),
      connect_(new QPushButton(Tr(text::CONNECT), this)),
      disconnect_(new QPushButton(Tr(text::DISCONNECT), this)),
      send_progress_(new QProgressBar(this)),
      recv_progress_(new QProgressBar(this)),
      tabs_(new TabControl(this)),
      status_(new QLabel(Tr(text::STATUS_INITIAL), this)),
      send_log_(MakeLog("IDC_SEND_LOG")),
      send_list_(new SendList(this)),
      chat_log_(MakeLog("IDC_CHAT_LOG")),
      recv_log_(MakeLog("IDC_RECV_LOG")),
      notices_(new Notices(this, new DesktopNotifier(this))) {
  setObjectName("IDD_MAIN");
  setWindowTitle(Tr(text::CAPTION));
  setAcceptDrops(true);
  subfolders_->setObjectName("IDC_SUBFOLDERS");
  subfolders_->setToolTip(Tr("受信したファイルを、送り手のフォルダごとのサブフォルダに保存します"));
  subfolders_->setAccessibleName(Tr("フォルダごとに保存"));
  address_->setObjectName("IDC_ADDRESS");
  // A drop on the field is a drop on the window, not text typed into the field.
  address_->setAcceptDrops(false);
  connect_->setObjectName("IDC_CONNECT");
  disconnect_->setObjectName("IDC_DISCONNECT");
  disconnect_->setEnabled(false);
  connect_->setToolTip(
      Tr("相手のアドレスに接続します。自分のアドレスなら相手からの接続を待ちます。"
         "接続中は入力した行を送信します。"));
  disconnect_->setToolTip(Tr("接続を終えます"));
  send_progress_->setObjectName("IDC_SEND_PROGRESS");
  recv_progress_->setObjectName("IDC_RECV_PROGRESS");
  send_progress_->setToolTip(BarTip(true));
  send_progress_->setAccessibleName(Tr("送信の進み具合"));
  recv_progress_->setToolTip(BarTip(false));
  recv_progress_->setAccessibleName(Tr("受信の進み具合"));
  for (QProgressBar* bar : {send_progress_, recv_progress_}) {
    bar->setTextVisible(false);
    bar->setValue(0);
  }
  tabs_->setObjectName("IDC_TABS");
  status_->setObjectName("IDC_STATUS");
  status_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  status_->setIndent(3);
  send_list_->setObjectName("IDC_SEND_LIST");
  send_list_->on_paths = [this](const std::vector<std::string>& paths) {
    if (on_drop) on_drop(paths);
  };
  AddOpenFolder(chat_log_);
  AddOpenFolder(recv_log_);
  classic_ = new QAction(Tr("標準の通信のみ (拡張なし)"), chat_log_);
  classic_->setObjectName("CLASSIC_ONLY");
  classic_->setCheckable(true);
  paired_only_ = new QAction(Tr("ペアリング済みの相手のみ"), chat_log_);
  paired_only_->setObjectName("PAIRED_ONLY");
  paired_only_->setCheckable(true);
  accept_paired_ = new QAction(Tr("ペアリング済みの相手からは確認せずに受け取る"), chat_log_);
  accept_paired_->setObjectName("ACCEPT_PAIRED");
  accept_paired_->setCheckable(true);
  peers_ = new QAction(Tr("ペアリング済みの相手..."), chat_log_);
  peers_->setObjectName("PAIRED_PEERS");
  chat_log_->addActions(
      {Separator(chat_log_), classic_, paired_only_, accept_paired_, Separator(chat_log_), peers_});
  name_ = new QAction(Tr("この端末の名前..."), chat_log_);
  name_->setObjectName("INSTALLATION_NAME");
  chat_log_->addAction(name_);
  AddWaitingActions();
  open_url = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  request_attention = [this] { QApplication::alert(this); };
  ask_pairing_code = [this](const std::string& fingerprint) {
    return PairingCodeDialog::Ask(this, fingerprint);
  };
  ask_name = [this](const std::string& current, const std::string& fallback) {
    return AskInstallationName(this, current, fallback);
  };
  connect(connect_, &QPushButton::clicked, this, [this] {
    if (on_connect) on_connect();
  });
  connect(disconnect_, &QPushButton::clicked, this, [this] {
    if (on_disconnect) on_disconnect();
  });
  connect(tabs_->bar(), &QTabBar::currentChanged, this, [this] {
    if (on_tab_changed) on_tab_changed();
  });

  const QFontMetrics metrics(font());
  setMinimumSize(MIN_CLIENT_WIDTH, MIN_CLIENT_HEIGHT);
  resize(std::max(MIN_CLIENT_WIDTH, DESIGN_WIDTH_DU * metrics.averageCharWidth() / 4),
         std::max(MIN_CLIENT_HEIGHT, DESIGN_HEIGHT_DU * metrics.height() / 8));

  // Enter is handled here before the control with the focus gets it, whatever that control
  // would do with the key.
  installEventFilter(this);
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

LineView* MainWindow::MakeLog(const char* id) {
  auto* log = new LineView(this);
  log->setObjectName(id);
  log->SetFollowsNewRows(true);
  return log;
}

void MainWindow::AddOpenFolder(LineView* log) {
  auto* open = new QAction(Tr("フォルダを開く"), log);
  open->setObjectName("OPEN_FOLDER");
  open->setEnabled(false);
  log->addAction(open);
  log->setContextMenuPolicy(Qt::ActionsContextMenu);
  // A right click makes the row under the pointer current before the menu shows.
  connect(log->selectionModel(), &QItemSelectionModel::currentChanged, open,
          [open](const QModelIndex& current) {
            open->setEnabled(!current.data(LineModel::FOLDER_ROLE).toString().isEmpty());
          });
  connect(open, &QAction::triggered, this, [this, log] { OpenFolder(log, log->currentRow()); });
  connect(log, &QAbstractItemView::doubleClicked, this,
          [this, log](const QModelIndex& index) { OpenFolder(log, index.row()); });
}

void MainWindow::AddWaitingActions() {
  offer_code_ = new QAction(Tr("ペアリングコードを表示"), chat_log_);
  offer_code_->setObjectName("OFFER_PAIRING_CODE");
  offer_code_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_P));
  keep_waiting_ = new QAction(Tr("接続が終わっても待ち続ける"), chat_log_);
  keep_waiting_->setObjectName("KEEP_WAITING");
  keep_waiting_->setCheckable(true);
  chat_log_->addActions({Separator(chat_log_), offer_code_, keep_waiting_});
  // The shortcut works whichever tab is shown, not only over the chat log.
  addAction(offer_code_);
  connect(offer_code_, &QAction::triggered, this, [this] {
    if (on_offer_code) on_offer_code();
  });
}

QAction* MainWindow::open_folder_action(LineView* log) const {
  return log->findChild<QAction*>("OPEN_FOLDER");
}

void MainWindow::OpenFolder(LineView* log, int row) {
  const QString folder = log->lines()->Folder(row);
  if (folder.isEmpty() || !open_url) return;
  const QString path = QDir(folder).absolutePath();
  const QString shown = QString::fromStdString(EscapeControls(path.toStdString()));
  // Only a folder is handed to the desktop: a file would be opened by whatever application
  // handles its type, and a received file's name and contents are the peer's choice.
  const QFileInfo info(path);
  if (info.exists() && !info.isDir()) {
    log->lines()->Insert(log->count(), Tr("フォルダではありません [%1]").arg(shown));
  } else if (!open_url(QUrl::fromLocalFile(path))) {
    log->lines()->Insert(log->count(),
                         Tr("フォルダを開くアプリケーションが見つかりません [%1]").arg(shown));
  }
}

void MainWindow::AppendLog(LineView* log, const std::string& line, const std::string& folder) {
  log->lines()->Insert(log->count(), QString::fromStdString(EscapeControls(line)),
                       QString::fromStdString(folder));
}

void MainWindow::AskForAttention() {
  if (!isActiveWindow() && request_attention) request_attention();
}

void MainWindow::ShowAndRaise() {
  if (tray_ != nullptr) tray_->hide();
  showNormal();
  raise();
  activateWindow();
}

bool MainWindow::HideToTray() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
  if (tray_ == nullptr) {
    tray_ = new QSystemTrayIcon(windowIcon(), this);
    auto* menu = new QMenu(this);
    connect(menu->addAction(Tr("表示")), &QAction::triggered, this, [this] { ShowAndRaise(); });
    connect(menu->addAction(Tr("終了")), &QAction::triggered, this, [this] {
      if (on_quit) on_quit();
    });
    tray_->setContextMenu(menu);
    connect(this, &QWidget::windowTitleChanged, this, [this] { SetTrayToolTip(tray_tip_); });
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
              if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick)
                ShowAndRaise();
            });
  }
  SetTrayToolTip(tray_tip_);
  tray_->show();
  hide();
  return true;
}

void MainWindow::SetTrayToolTip(const QString& text) {
  tray_tip_ = text;
  if (tray_ != nullptr) tray_->setToolTip(text.isEmpty() ? windowTitle() : text);
}

void MainWindow::SelectTab(int index) {
  {
    // Choosing a tab from the program is not the user's tab change.
    const QSignalBlocker quiet(tabs_->bar());
    tabs_->bar()->setCurrentIndex(index);
  }
  chat_log_->setVisible(index == 0);
  send_list_->setVisible(index == 1);
  send_log_->setVisible(index == 2);
  recv_log_->setVisible(index == 3);
}

void MainWindow::WidenForTabs() {
  const int needed = tabs_->bar()->sizeHint().width() + 2 * tabs_->PageArea().x();
  if (width() < needed) resize(needed, height());
}

void MainWindow::SetBatchText(bool send, const QString& text) {
  (send ? send_batch_text_ : recv_batch_text_) = text;
  (send ? send_progress_ : recv_progress_)->setToolTip(text.isEmpty() ? BarTip(send) : text);
  SetTrayToolTip(BatchText());
}

QString MainWindow::BatchText() const {
  QStringList lines;
  for (const QString& text : {send_batch_text_, recv_batch_text_}) {
    if (!text.isEmpty()) lines << text;
  }
  return lines.join('\n');
}

void MainWindow::SetButtonText(QPushButton* button, const QString& text) {
  button->setText(text);
  FitCaption(button);
}

void MainWindow::FitCaption(QPushButton* button) {
  // The buttons are 40 pixels wide whatever their caption: a caption a little too wide for
  // that gets a smaller font (down to four fifths), never a clipped one.
  const QFont normal = font();
  const int room =
      button->width() - 2 * style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
  const int needed = QFontMetrics(normal).horizontalAdvance(button->text());
  QFont fitted = normal;
  if (needed > room && room > 0 && normal.pointSizeF() > 0) {
    fitted.setPointSizeF(std::max(normal.pointSizeF() * 0.8, normal.pointSizeF() * room / needed));
  }
  button->setFont(fitted);
}

void MainWindow::LayOut() {
  if (isMinimized()) return;
  const int w = width();
  const int h = height();
  const int s = status_->sizeHint().height();
  status_->setGeometry(0, h - s, w, s);
  tabs_->setGeometry(0, 30, w, std::max(0, h - s - 30));
  const QRect page = tabs_->PageArea().translated(tabs_->pos());
  for (QWidget* list : {static_cast<QWidget*>(send_log_), static_cast<QWidget*>(send_list_),
                        static_cast<QWidget*>(chat_log_), static_cast<QWidget*>(recv_log_)}) {
    list->setGeometry(page);
    list->raise();
  }
  subfolders_->setGeometry(0, 0, 18, 18);
  address_->setGeometry(18, 0, std::max(0, w - 98), 18);
  connect_->setGeometry(w - 80, 0, 40, 18);
  disconnect_->setGeometry(w - 40, 0, 40, 18);
  FitCaption(connect_);
  FitCaption(disconnect_);
  const int half = w / 2;
  send_progress_->setGeometry(0, 19, half, 11);
  recv_progress_->setGeometry(half, 19, w - half, 11);
  update();
}

bool MainWindow::SwitchTabByKey(const QKeyEvent* event) {
  const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
  int step = 0;
  if (modifiers == Qt::ControlModifier) {
    if (event->key() == Qt::Key_Tab || event->key() == Qt::Key_PageDown) step = 1;
    if (event->key() == Qt::Key_PageUp) step = -1;
  } else if (modifiers == (Qt::ControlModifier | Qt::ShiftModifier)) {
    if (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) step = -1;
  }
  if (step == 0) return false;
  QTabBar* bar = tabs_->bar();
  const int count = bar->count();
  // As a click on the tab: the bar reports the change to on_tab_changed.
  if (count > 0) bar->setCurrentIndex((bar->currentIndex() + step + count) % count);
  return true;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) {
    const auto* keys = static_cast<QKeyEvent*>(event);
    if (event->type() == QEvent::ShortcutOverride) {
      // Claimed here, so no control uses these keys for anything else.
      const bool tab_switch = (keys->modifiers() & Qt::ControlModifier) != 0 &&
                              (keys->key() == Qt::Key_Tab || keys->key() == Qt::Key_Backtab ||
                               keys->key() == Qt::Key_PageDown || keys->key() == Qt::Key_PageUp);
      if (tab_switch) event->accept();
      return false;
    }
    if (SwitchTabByKey(keys)) return true;
    const int key = keys->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      // As in a dialog: a push button with the focus is the default button while it has it.
      auto* focused = qobject_cast<QPushButton*>(watched);
      QPushButton* button = focused != nullptr ? focused : connect_;
      if (button->isEnabled()) button->click();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayOut();
}

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // Restored from the minimised state: lay out again for whatever size it has now.
  if (event->type() == QEvent::WindowStateChange && !isMinimized()) LayOut();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  if (!event->mimeData()->hasUrls()) return;
  const std::vector<std::string> paths = LocalPaths(event->mimeData()->urls());
  event->acceptProposedAction();
  if (on_drop) on_drop(paths);
}

}  // namespace tovrin
