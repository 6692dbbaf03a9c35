#include "platform/termination.h"

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace quorrel {

void RunBeforeTerminationSignals(std::function<void()> last) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  std::thread([set, last = std::move(last)] {
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    if (last) last();
    // Ends the process as the signal would have: default action, unblocked
    // in this thread, raised here.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
  }).detach();
}

}  // namespace quorrel
