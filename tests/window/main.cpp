#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

#include "window/translation.h"

// The window tests need one QApplication for the whole run. They run on the offscreen
// platform unless told otherwise, also when CTest lists them at build time without a display,
// and with a configuration folder of their own: the window keeps the user's choices there.
// They run in a Japanese locale, whatever the machine's, with the language chosen from it as
// the program does: the texts they check are the Japanese ones.
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("LC_ALL", "ja_JP.UTF-8");
  qunsetenv("LANGUAGE");
  const QTemporaryDir settings;
  qputenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit());
  // No Avahi daemon: the windows neither browse nor announce on the machine's network.
  qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + settings.path().toLocal8Bit() + "/no-bus");
  QApplication app(argc, argv);
  tovrin::InstallTranslation(QLocale::system());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
