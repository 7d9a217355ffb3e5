// KeyPorter: one window, no options of its own.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>

#include "keyporter_window.h"

namespace {

int signal_pair[2] = {-1, -1};

void on_signal(int) {
  char c = 1;
  [[maybe_unused]] ssize_t n = ::write(signal_pair[1], &c, 1);
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // Ended by a signal, the program still leaves through its event loop, so
  // that the window's clean-up removes the private working folder. The
  // handlers are in place before the window makes that folder; a signal that
  // comes before the event loop runs waits in the socket.
  const bool watch = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signal_pair) == 0;
  if (watch) {
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
  }
  KeyPorterWindow window;
  if (watch) {
    auto* notifier = new QSocketNotifier(signal_pair[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&window] {
      char c;
      [[maybe_unused]] ssize_t n = ::read(signal_pair[0], &c, 1);
      window.close();
      QCoreApplication::quit();
    });
  }
  window.show();
  return app.exec();
}
