#include "window/critical_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <iostream>

namespace tovrin {

void ShowCriticalBox(const std::string& text, const std::string& caption) {
  const auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (app == nullptr || QThread::currentThread() != app->thread()) {
    std::cerr << caption << ": " << text << std::endl;
    return;
  }
  auto* box = new QMessageBox(QMessageBox::Critical, QString::fromStdString(caption),
                              QString::fromStdString(text), QMessageBox::Ok);
  // A message box is application-modal unless told otherwise, even when merely shown.
  box->setWindowModality(Qt::NonModal);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->show();
}

}  // namespace tovrin
