#include "window/main_window.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QResizeEvent>
#include <QUrl>
#include <algorithm>

#include "port/texts.h"

namespace tovrin {
namespace {

// Below this client size the address field or the page area would get a negative size.
constexpr int MIN_CLIENT_WIDTH = 200;
constexpr int MIN_CLIENT_HEIGHT = 120;
// The window's design size in dialog units (a quarter of the average character width
// across, an eighth of the line height down).
constexpr int DESIGN_WIDTH_DU = 184;
constexpr int DESIGN_HEIGHT_DU = 138;

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

MainWindow::MainWindow(QWidget* parent)
    : QWidget(parent),
      subfolders_(new QCheckBox(this)),
      address_(new QLineEdit(this)),
      connect_(new QPushButton(Text(text::kConnect), this)),
      disconnect_(new QPushButton(Text(text::kDisconnect), this)),
      send_progress_(new QProgressBar(this)),
      recv_progress_(new QProgressBar(this)),
      tabs_(new TabControl(this)),
      status_(new QLabel(Text(text::kStatusInitial), this)),
      send_log_(MakeLog("IDC_SEND_LOG")),
      send_list_(new SendList(this)),
      chat_log_(MakeLog("IDC_CHAT_LOG")),
      recv_log_(MakeLog("IDC_RECV_LOG")) {
  setObjectName("IDD_MAIN");
  setWindowTitle(Text(text::kCaption));
  setAcceptDrops(true);
  subfolders_->setObjectName("IDC_SUBFOLDERS");
  address_->setObjectName("IDC_ADDRESS");
  // A drop on the field is a drop on the window, not text typed into the field.
  address_->setAcceptDrops(false);
  connect_->setObjectName("IDC_CONNECT");
  disconnect_->setObjectName("IDC_DISCONNECT");
  disconnect_->setEnabled(false);
  send_progress_->setObjectName("IDC_SEND_PROGRESS");
  recv_progress_->setObjectName("IDC_RECV_PROGRESS");
  for (QProgressBar* bar : {send_progress_, recv_progress_}) {
    bar->setTextVisible(false);
    bar->setValue(0);
  }
  tabs_->setObjectName("IDC_TABS");
  status_->setObjectName("IDC_STATUS");
  status_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  status_->setIndent(3);
  send_list_->setObjectName("IDC_SEND_LIST");
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

QListWidget* MainWindow::MakeLog(const char* id) {
  auto* list = new QListWidget(this);
  list->setObjectName(id);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  return list;
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

void MainWindow::AppendLine(QListWidget* list, const std::string& text) {
  list->addItem(QString::fromStdString(text));
  list->setCurrentRow(list->count() - 1);
  list->scrollToBottom();
}

void MainWindow::WidenForTabs() {
  const int needed = tabs_->bar()->sizeHint().width() + 2 * tabs_->PageArea().x();
  if (width() < needed) resize(needed, height());
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
  const int half = w / 2;
  send_progress_->setGeometry(0, 19, half, 11);
  recv_progress_->setGeometry(half, 19, w - half, 11);
  update();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
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
  std::vector<std::string> paths;
  for (const QUrl& url : event->mimeData()->urls()) {
    if (!url.isLocalFile()) continue;
    std::string path = url.toLocalFile().toStdString();
    // A folder may arrive as ".../name/"; the queue wants its name as the item.
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    paths.push_back(std::move(path));
  }
  event->acceptProposedAction();
  if (on_drop) on_drop(paths);
}

}  // namespace tovrin
