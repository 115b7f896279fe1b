// quento: the operator's window on Linux.
#include <QApplication>
#include <csignal>

#include "linux-app/quento_window.h"

int main(int argc, char** argv) {
  // A device that hangs up mid-send must end the download, not the process.
  std::signal(SIGPIPE, SIG_IGN);
  QApplication app(argc, argv);
  // Lets the desktop match the window to quento.desktop and its icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("quento"));
  quento::linux_app::QuentoWindow window;
  window.show();
  return app.exec();
}
