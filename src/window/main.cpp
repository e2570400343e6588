#include <openssl/ssl.h>
#include <sys/prctl.h>

#include <QApplication>
#include <QStringList>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "storage/save_dir.h"
#include "transfer/cthread.h"
#include "window/critical_box.h"
#include "window/my_wnd.h"
#include "window/translation.h"

namespace {

int Run(int argc, char** argv) {
  QApplication app(argc, argv);
  tovrin::SetMessageBoxHandler(tovrin::ShowCriticalBox);
  tovrin::InstallTranslation(QLocale::system());
  QStringList arguments = QCoreApplication::arguments();
  if (!arguments.isEmpty()) arguments.removeFirst();
  // Made once and never deleted: workers of the last session may still be finishing.
  auto* application = new tovrin::CMyWnd(tovrin::ResolveSaveDir(arguments.join(' ').toStdString()));
  if (!application->Create(nullptr)) return 0;
  const int code = application->MessageLoop();
  // Whatever ended the loop, no worker reaches the window from here on.
  application->port.Shutdown();
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // The process holds the private key and pairing codes: no core dump and no other process
  // of the user (ptrace, /proc/PID/mem) may read them.
  prctl(PR_SET_DUMPABLE, 0);
  // A peer that vanishes must never end the process (sends use MSG_NOSIGNAL; this is a
  // belt), and a file-size limit must fail the write that passes it (logged by the receive
  // worker) instead of killing the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // Workers may still be inside OpenSSL when the process exits: its own clean-up at exit
  // would free what they use. The system takes everything back anyway.
  OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
  const int code = Run(argc, argv);
  // Workers still finishing may be using static objects: leave without destroying them.
  std::fflush(nullptr);
  std::_Exit(code);
}
