#include "gui/app/shutdown_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace harlune {
namespace {

constexpr std::array<int, 3> kEndingSignals = {SIGTERM, SIGINT, SIGHUP};

int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_received = 0;

void OnEndingSignal(int signalNumber) {
  const int saved = errno;
  g_received = 1;
  const unsigned char number = static_cast<unsigned char>(signalNumber);
  // A full pipe already holds a wake-up; losing this byte loses nothing.
  [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &number, 1);
  errno = saved;
}

}  // namespace

ShutdownSignals::ShutdownSignals(QObject* parent) : QObject(parent) {
  g_received = 0;
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_pipe[0] = g_pipe[1] = -1;
    return;
  }
  struct sigaction action = {};
  action.sa_handler = OnEndingSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
    sigaction(kEndingSignals[i], &action, &previous_[i]);
  }
  notifier_ = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &ShutdownSignals::Drain);
}

ShutdownSignals::~ShutdownSignals() {
  if (g_pipe[0] < 0) {
    return;
  }
  for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
    sigaction(kEndingSignals[i], &previous_[i], nullptr);
  }
  notifier_.reset();
  ::close(g_pipe[0]);
  ::close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

bool ShutdownSignals::Received() { return g_received != 0; }

void ShutdownSignals::Drain() {
  unsigned char number = 0;
  int last = 0;
  while (::read(g_pipe[0], &number, 1) == 1) {
    last = number;
  }
  if (last != 0) {
    emit received(last);
  }
}

}  // namespace harlune
