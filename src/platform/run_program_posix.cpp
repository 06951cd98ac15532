#include "platform/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <initializer_list>

#include "platform/process_guard.h"

extern char** environ;

namespace sealtool {
namespace {

constexpr std::size_t kMaxEnvironment = 4096;
constexpr int kExecFailed = 127;

// The environment the program gets: this process's, with each "NAME=VALUE"
// of extra replacing an entry of the same name, and each bare "NAME"
// removing one. Built before the fork: the child
// may call nothing that allocates.
const char* gEnvironment[kMaxEnvironment];

// Whether entry ("NAME=VALUE") has the name of other ("NAME=VALUE" or "NAME").
bool SameName(const char* entry, const char* other) {
  const std::size_t length = std::strcspn(other, "=");
  return std::strncmp(entry, other, length) == 0 && entry[length] == '=';
}

bool BuildEnvironment(const char* const* extra) {
  std::size_t used = 0;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const char* const* added = extra; *added != nullptr; ++added) replaced = replaced || SameName(*entry, *added);
    if (replaced) continue;
    if (used + 1 >= kMaxEnvironment) return false;
    gEnvironment[used++] = *entry;
  }
  for (const char* const* added = extra; *added != nullptr; ++added) {
    if (std::strchr(*added, '=') == nullptr) continue;
    if (used + 1 >= kMaxEnvironment) return false;
    gEnvironment[used++] = *added;
  }
  gEnvironment[used] = nullptr;
  return true;
}

struct Pipes {
  int input[2] = {-1, -1};
  int output[2] = {-1, -1};
  int error[2] = {-1, -1};
  int inputCopy = -1;  // the read end of the input, kept to count what the program left unread
  int exec[2] = {-1, -1};  // closed by a successful exec; else carries its errno
};

void CloseIfOpen(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

void ClosePipes(Pipes* pipes) {
  for (int* fd : {&pipes->input[0], &pipes->input[1], &pipes->output[0], &pipes->output[1], &pipes->error[0],
                  &pipes->error[1], &pipes->inputCopy, &pipes->exec[0], &pipes->exec[1]}) {
    CloseIfOpen(fd);
  }
}

bool OpenPipes(Pipes* pipes) {
  if (pipe2(pipes->input, O_CLOEXEC) != 0 || pipe2(pipes->output, O_CLOEXEC) != 0 ||
      pipe2(pipes->error, O_CLOEXEC) != 0 || pipe2(pipes->exec, O_CLOEXEC) != 0) {
    return false;
  }
  pipes->inputCopy = fcntl(pipes->input[0], F_DUPFD_CLOEXEC, 3);
  return pipes->inputCopy >= 0 && fcntl(pipes->input[1], F_SETFL, O_NONBLOCK) == 0;
}

// In the child, between fork and exec: async-signal-safe calls only.
[[noreturn]] void BecomeProgram(const Pipes& pipes, const char* const* arguments) {
  setpgid(0, 0);
  // Dispositions this process ignores would be inherited; the program gets
  // the defaults and no blocked signal.
  signal(SIGPIPE, SIG_DFL);
  signal(SIGXFSZ, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (dup2(pipes.input[0], 0) < 0 || dup2(pipes.output[1], 1) < 0 || dup2(pipes.error[1], 2) < 0) {
    _exit(kExecFailed);
  }
  // Every other descriptor closes, the exec pipe at the exec itself.
  if (pipes.exec[1] > 3) close_range(3, static_cast<unsigned>(pipes.exec[1]) - 1, 0);
  close_range(static_cast<unsigned>(pipes.exec[1]) + 1, UINT_MAX, 0);
  execve(arguments[0], const_cast<char* const*>(arguments), const_cast<char* const*>(gEnvironment));
  const int error = errno;
  if (write(pipes.exec[1], &error, sizeof error) < 0) {
    // The parent then sees exit status 127.
  }
  _exit(kExecFailed);
}

long long NowMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int MillisecondsLeft(long long deadline) {
  const long long left = deadline - NowMilliseconds();
  return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Standard output into the caller's buffer (counting what does not fit),
// standard error through to this process's, up to its limit.
struct Exchange {
  const ProgramRun* run;
  ProgramResult* result;
  std::size_t inputWritten;
  std::size_t errorPassed;
};

void TakeOutput(Exchange* exchange, const std::uint8_t* bytes, std::size_t count) {
  ProgramResult& result = *exchange->result;
  const ProgramRun& run = *exchange->run;
  if (result.outputSize < run.outputCapacity) {
    const std::size_t room = run.outputCapacity - result.outputSize;
    std::memcpy(run.output + result.outputSize, bytes, count < room ? count : room);
  }
  result.outputSize += count;
}

void PassError(Exchange* exchange, const std::uint8_t* bytes, std::size_t count) {
  const std::size_t room = exchange->run->errorLimit - exchange->errorPassed;
  const std::size_t passed = count < room ? count : room;
  if (passed > 0 && write(2, bytes, passed) < 0) {
    // Standard error gone: what the program said is lost, not the run.
  }
  exchange->errorPassed += passed;
  exchange->result->errorLeftOut += count - passed;
}

// Reads what one pipe has; false at its end.
bool Drain(int fd, Exchange* exchange, bool isOutput) {
  std::uint8_t bytes[4096];
  const ssize_t got = read(fd, bytes, sizeof bytes);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (got <= 0) return false;
  const auto count = static_cast<std::size_t>(got);
  if (isOutput) {
    TakeOutput(exchange, bytes, count);
  } else {
    PassError(exchange, bytes, count);
  }
  return true;
}

// Feeds the input and collects the output until the program closes both
// of its output pipes or the time is up; false when it is up.
bool Converse(Pipes* pipes, Exchange* exchange, long long deadline) {
  const ProgramRun& run = *exchange->run;
  bool outputOpen = true;
  bool errorOpen = true;
  while (outputOpen || errorOpen) {
    if (pipes->input[1] >= 0 && exchange->inputWritten == run.inputSize) CloseIfOpen(&pipes->input[1]);
    pollfd watched[3] = {{pipes->output[0], static_cast<short>(outputOpen ? POLLIN : 0), 0},
                         {pipes->error[0], static_cast<short>(errorOpen ? POLLIN : 0), 0},
                         {pipes->input[1], POLLOUT, 0}};
    const int ready = poll(watched, 3, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) outputOpen = Drain(pipes->output[0], exchange, true);
    if ((watched[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) errorOpen = Drain(pipes->error[0], exchange, false);
    if ((watched[2].revents & POLLOUT) != 0) {
      const ssize_t wrote = write(pipes->input[1], run.input + exchange->inputWritten,
                                  run.inputSize - exchange->inputWritten);
      if (wrote > 0) exchange->inputWritten += static_cast<std::size_t>(wrote);
    }
  }
  return true;
}

// Waits for the program's end until the deadline; false when it is up.
bool AwaitEnd(pid_t child, long long deadline, int* status) {
  for (;;) {
    const pid_t ended = waitpid(child, status, WNOHANG);
    if (ended == child) return true;
    if (ended < 0 && errno != EINTR) return true;
    if (MillisecondsLeft(deadline) == 0) return false;
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

// The errno of a failed exec, or 0 once the program runs.
int ExecError(Pipes* pipes) {
  CloseIfOpen(&pipes->exec[1]);
  int error = 0;
  ssize_t got = 0;
  do {
    got = read(pipes->exec[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

std::size_t UnreadInput(const Pipes& pipes, const Exchange& exchange) {
  int unread = 0;
  if (ioctl(pipes.inputCopy, FIONREAD, &unread) != 0 || unread < 0) unread = 0;
  return exchange.run->inputSize - exchange.inputWritten + static_cast<std::size_t>(unread);
}

}  // namespace

ProgramResult RunProgram(const ProgramRun& run) {
  ProgramResult result{};
  Pipes pipes;
  if (!BuildEnvironment(run.environment) || !OpenPipes(&pipes)) {
    result.error = errno != 0 ? errno : E2BIG;
    ClosePipes(&pipes);
    return result;
  }
  const pid_t child = fork();
  if (child == 0) BecomeProgram(pipes, run.arguments);
  if (child < 0) {
    result.error = errno;
    ClosePipes(&pipes);
    return result;
  }
  setpgid(child, child);  // as the child does, whichever runs first
  WatchChildGroup(child);
  if (const int error = ExecError(&pipes); error != 0) {
    waitpid(child, nullptr, 0);
    ForgetChildGroup();
    result.error = error;
    ClosePipes(&pipes);
    return result;
  }
  CloseIfOpen(&pipes.input[0]);
  CloseIfOpen(&pipes.output[1]);
  CloseIfOpen(&pipes.error[1]);
  const long long deadline = NowMilliseconds() + 1000LL * run.timeoutSeconds;
  Exchange exchange{&run, &result, 0, 0};
  int status = 0;
  const bool inTime = Converse(&pipes, &exchange, deadline) && AwaitEnd(child, deadline, &status);
  // Whatever it started ends with it.
  kill(-child, SIGKILL);
  if (!inTime) waitpid(child, &status, 0);
  ForgetChildGroup();
  result.inputLeft = UnreadInput(pipes, exchange);
  ClosePipes(&pipes);
  if (!inTime) {
    result.end = ProgramEnd::kTimedOut;
  } else if (WIFSIGNALED(status)) {
    result.end = ProgramEnd::kSignalled;
    result.status = WTERMSIG(status);
  } else {
    result.end = ProgramEnd::kExited;
    result.status = WEXITSTATUS(status);
  }
  return result;
}

const char* ProgramErrorText(int error) { return std::strerror(error); }

}  // namespace sealtool
