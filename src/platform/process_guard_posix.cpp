#include "platform/process_guard.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sealtool {
namespace {

constexpr int kTerminationSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2};
constexpr std::size_t kPendingNameSize = 64;

// Read by the signal handler: each slot is filled first and marked in use
// last, with the termination signals held, so the handler never sees half a
// slot.
struct PendingFile {
  volatile sig_atomic_t inUse;
  int dirFd;
  char name[kPendingNameSize];
};

PendingFile gPending[kMaxPendingFiles];

// The process group of a program this process runs for an answer, ended
// with it by the handler below; 0 when none runs.
volatile sig_atomic_t gChildGroup = 0;

sigset_t TerminationSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kTerminationSignals) sigaddset(&set, signal);
  return set;
}

// Async-signal-safe: kill, unlinkat and raise only. The action was reset to the
// default on entry (SA_RESETHAND), so the raised signal, held until the
// handler returns, then ends the process with the signal's own status.
extern "C" void RemovePendingFilesAndDie(int signal) {
  const int savedErrno = errno;
  if (gChildGroup > 0) kill(-gChildGroup, SIGKILL);
  for (PendingFile& file : gPending) {
    if (file.inUse != 0) unlinkat(file.dirFd, file.name, 0);
  }
  raise(signal);
  errno = savedErrno;
}

bool ReopenClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is fd itself, since the ones below it are open.
    const int opened = open("/dev/null", O_RDWR);
    if (opened != fd) {
      if (opened >= 0) close(opened);
      return false;
    }
  }
  return true;
}

void InstallTerminationCleanup() {
  for (const int signal : kTerminationSignals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = RemovePendingFilesAndDie;
    action.sa_mask = TerminationSignalSet();
    action.sa_flags = SA_RESETHAND;
    sigaction(signal, &action, nullptr);
  }
}

}  // namespace

// Every program may hold a key, a PIN or a passphrase: no core dump may
// carry one away.
void ForbidCoreDumps() {
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

const char* ProgramName() { return program_invocation_short_name; }

bool GuardProcess() {
  ForbidCoreDumps();
  if (!ReopenClosedStandardDescriptors()) return false;
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  InstallTerminationCleanup();
  return true;
}

int RegisterPendingFile(int dirFd, const char* name) {
  const std::size_t length = std::strlen(name);
  if (length >= kPendingNameSize) return -1;
  const sigset_t set = TerminationSignalSet();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &set, &previous);
  int slot = -1;
  for (int i = 0; i < kMaxPendingFiles && slot < 0; ++i) {
    if (gPending[i].inUse != 0) continue;
    gPending[i].dirFd = dirFd;
    std::memcpy(gPending[i].name, name, length + 1);
    gPending[i].inUse = 1;
    slot = i;
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return slot;
}

void ForgetPendingFile(int slot) {
  // A plain store: the handler reads the flag, never a half-written slot.
  if (slot >= 0 && slot < kMaxPendingFiles) gPending[slot].inUse = 0;
}

void HoldTerminationSignals() {
  const sigset_t set = TerminationSignalSet();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void ReleaseTerminationSignals() {
  const sigset_t set = TerminationSignalSet();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void WatchChildGroup(int group) { gChildGroup = group; }

void ForgetChildGroup() { gChildGroup = 0; }

}  // namespace sealtool
