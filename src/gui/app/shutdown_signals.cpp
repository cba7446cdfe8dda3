#include "gui/app/shutdown_signals.h"

#include <fcntl.h>
#include <pthread.h>
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

sigset_t EndingSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signalNumber : kEndingSignals) {
    sigaddset(&set, signalNumber);
  }
  return set;
}

}  // namespace

void ShutdownSignals::HoldUntilInstalled() {
  const sigset_t set = EndingSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ShutdownSignals::ShutdownSignals(QObject* parent) : QObject(parent) {
  g_received = 0;
  const sigset_t held = EndingSignalSet();
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_pipe[0] = g_pipe[1] = -1;
    pthread_sigmask(SIG_UNBLOCK, &held, nullptr);  // their default then ends the program
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
  pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
}

ShutdownSignals::~ShutdownSignals() {
  if (g_pipe[0] < 0) {
    return;
  }
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
    sigaction(kEndingSignals[i], ignoreWhenGone_ ? &ignore : &previous_[i], nullptr);
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
