#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <grp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>

extern char** environ;

namespace sealtool::test {
namespace {

constexpr unsigned kNobody = 65534;

// Standard output as a pipe whose read end is already closed.
void ReplaceStdoutWithReaderlessPipe() {
  int fds[2];
  if (pipe(fds) != 0) _exit(126);
  close(fds[0]);
  dup2(fds[1], 1);
  close(fds[1]);
}

// Everything the child needs, made before the fork: between fork and exec
// a child of a threaded test program must not allocate, since another
// thread may have held the allocator's lock at the fork.
struct ChildCommand {
  std::string stdinPath;
  std::vector<std::string> environment;
  std::vector<char*> argv;
  std::vector<char*> envp;
};

void PrepareChild(const std::string& program, const std::vector<std::string>& args,
                  const ProcessOptions& options, ChildCommand* child) {
  child->stdinPath = options.stdinPath.empty() ? "/dev/null" : options.stdinPath;
  // As putenv would: each given entry replaces one of the same name, the
  // later of two given ones wins.
  for (char** entry = environ; *entry != nullptr; ++entry) child->environment.emplace_back(*entry);
  for (const std::string& given : options.environment) {
    const std::string name = given.substr(0, given.find('=') + 1);
    std::erase_if(child->environment, [&](const std::string& entry) { return entry.rfind(name, 0) == 0; });
    child->environment.push_back(given);
  }
  child->argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) child->argv.push_back(const_cast<char*>(arg.c_str()));
  child->argv.push_back(nullptr);
  for (std::string& entry : child->environment) child->envp.push_back(entry.data());
  child->envp.push_back(nullptr);
}

[[noreturn]] void ExecChild(const std::string& program, const ChildCommand& child,
                            const ProcessOptions& options, int outFd, int errFd) {
  if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) {
    _exit(126);
  }
  const int inFd = open(child.stdinPath.c_str(), O_RDONLY);
  if (inFd < 0) {
    _exit(126);
  }
  dup2(inFd, 0);
  dup2(outFd, 1);
  dup2(errFd, 2);
  // The test program may ignore signals; the program under test starts as
  // a shell would start it.
  signal(SIGPIPE, SIG_DFL);
  signal(SIGXFSZ, SIG_DFL);
  for (const int ignored : options.ignoredSignals) signal(ignored, SIG_IGN);
  if (options.stdoutWithoutReader) ReplaceStdoutWithReaderlessPipe();
  if (options.fileSizeLimit >= 0) {
    const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                       static_cast<rlim_t>(options.fileSizeLimit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (options.asNobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
                           setuid(kNobody) != 0)) {
    _exit(126);
  }
  for (const int fd : options.closedFds) close(fd);
  execvpe(program.c_str(), child.argv.data(), child.envp.data());
  _exit(127);
}

// Collects both streams until both close; false when the deadline passed.
bool Drain(int outFd, int errFd, int timeoutSeconds, std::string* out, std::string* err) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  char buffer[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready = poll(fds, 2, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready == 0) {
      for (const pollfd& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
      }
      return false;
    }
    if (ready < 0) {
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) {
        continue;
      }
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? out : err)->append(buffer, static_cast<size_t>(n));
      }
    }
  }
  return true;
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  ProcessResult result;
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
    return result;
  }
  ChildCommand child;
  PrepareChild(program, args, options, &child);
  const pid_t pid = fork();
  if (pid == 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    ExecChild(program, child, options, outPipe[1], errPipe[1]);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (!Drain(outPipe[0], errPipe[0], options.timeoutSeconds, &result.out, &result.err)) {
    result.timedOut = true;
    kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

bool CanRunAsAnotherUser() { return geteuid() == 0; }

std::string CopyForAnotherUser(const std::string& program, const std::string& folder,
                               std::string* why) {
  namespace fs = std::filesystem;
  const fs::path bin = fs::path(folder) / "bin";
  const fs::path copy = bin / fs::path(program).filename();
  std::error_code error;
  fs::create_directories(bin, error);
  if (!error) fs::copy_file(program, copy, fs::copy_options::overwrite_existing, error);
  if (!error) fs::permissions(bin, fs::perms(0755), error);
  if (!error) fs::permissions(copy, fs::perms(0755), error);
  if (error) {
    *why = "cannot copy " + program + " into " + bin.string() + ": " + error.message();
    return "";
  }
  ProcessOptions options;
  options.asNobody = true;
  options.workDir = "/";
  const ProcessResult tried = RunProgram(copy.string(), {"--version"}, options);
  if (tried.exitStatus == 126 || tried.exitStatus == 127) {
    *why = "user 65534 cannot run programs in " + folder +
           " (a folder on its path is closed to other users)";
    return "";
  }
  return copy.string();
}

ProcessResult RunOwnProgram(const std::string& program, const std::vector<std::string>& args,
                            const ProcessOptions& options) {
  const char* wrapper = std::getenv("SEALTOOL_TEST_WRAPPER");
  if (wrapper == nullptr || *wrapper == '\0') {
    return RunProgram(program, args, options);
  }
  std::vector<std::string> words;
  std::istringstream in(wrapper);
  for (std::string word; in >> word;) words.push_back(word);
  std::vector<std::string> wrappedArgs(words.begin() + 1, words.end());
  wrappedArgs.push_back(program);
  wrappedArgs.insert(wrappedArgs.end(), args.begin(), args.end());
  return RunProgram(words.front(), wrappedArgs, options);
}

}  // namespace sealtool::test
