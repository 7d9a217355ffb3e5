// KeyPorter: one window, no options of its own.
#include <QApplication>

#include "portbench.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  PortBench window;
  window.show();
  return app.exec();
}
