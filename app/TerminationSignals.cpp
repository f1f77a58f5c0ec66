#include "TerminationSignals.h"

#include <sys/socket.h>
#include <unistd.h>

namespace {

// The handler may do almost nothing: it writes one byte, which the event loop reads.
int wakeFds[2] = {-1, -1};

void wake(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(wakeFds[1], &byte, 1);
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
  if (wakeFds[0] < 0) ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, wakeFds);
  notifier_ = std::make_unique<QSocketNotifier>(wakeFds[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    char byte = 0;
    [[maybe_unused]] const ssize_t ignored = ::read(wakeFds[0], &byte, 1);
    emit received();
  });
  struct sigaction action {};
  action.sa_handler = wake;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, &previous_[i]);
}

TerminationSignals::~TerminationSignals() {
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &previous_[i], nullptr);
}
