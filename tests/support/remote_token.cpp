#include "remote_token.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace sealtool::test {
namespace {

constexpr char kServerProgram[] = "/usr/bin/p11-kit";
constexpr int kStartSeconds = 10;
constexpr int kStopSeconds = 5;

bool Exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

// Waits up to seconds for pid to end; true when it did (and was reaped).
bool AwaitExit(pid_t pid, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || done < 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// The server's command line and environment, made before the fork so that
// the child only opens, duplicates and executes.
struct ServerCommand {
  std::vector<std::string> words;
  std::vector<std::string> environment;
  std::vector<char*> argv;
  std::vector<char*> envp;
};

void BuildServerCommand(const std::string& config, const std::string& socket, ServerCommand* command) {
  command->words = {kServerProgram, "server", "-f", "-n", socket, "--provider", SoftHsmModule(),
                    "pkcs11:token=" + std::string(kTokenLabel)};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "SOFTHSM2_CONF=", 14) != 0) command->environment.emplace_back(*entry);
  }
  command->environment.push_back("SOFTHSM2_CONF=" + config);
  for (std::string& word : command->words) command->argv.push_back(word.data());
  command->argv.push_back(nullptr);
  for (std::string& entry : command->environment) command->envp.push_back(entry.data());
  command->envp.push_back(nullptr);
}

[[noreturn]] void ExecServer(const ServerCommand& command, const char* log) {
  const int fd = open(log, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int in = open("/dev/null", O_RDONLY);
  if (fd < 0 || in < 0) _exit(126);
  dup2(in, 0);
  dup2(fd, 1);
  dup2(fd, 2);
  execve(kServerProgram, command.argv.data(), command.envp.data());
  _exit(127);
}

}  // namespace

std::string RemoteClientModule() { return P11KIT_CLIENT_MODULE; }

bool HaveRemoteToken() { return HaveSoftHsm() && Exists(kServerProgram) && Exists(RemoteClientModule()); }

RemoteTokenServer::RemoteTokenServer(const TempDir& dir, const SoftHsmToken& token,
                                     const std::string& name)
    : socket_(dir.File(name)) {
  const std::string config = token.ConfigEnvironment().substr(sizeof "SOFTHSM2_CONF=" - 1);
  const std::string log = dir.File(name + ".log");
  ServerCommand command;
  BuildServerCommand(config, socket_, &command);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) ExecServer(command, log.c_str());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
  while (!Exists(socket_)) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_ || std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      AwaitExit(pid_, kStopSeconds);
      pid_ = -1;
      throw std::runtime_error("p11-kit server did not start; see " + log);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

RemoteTokenServer::~RemoteTokenServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (!AwaitExit(pid_, kStopSeconds)) {
    kill(pid_, SIGKILL);
    AwaitExit(pid_, kStopSeconds);
  }
  unlink(socket_.c_str());
}

std::string RemoteTokenServer::Uri(const std::string& attributes) const {
  const char* join = attributes.find('?') == std::string::npos ? "?" : "&";
  return "pkcs11:token=" + std::string(kTokenLabel) + ";" + attributes + join +
         "module-path=" + RemoteClientModule();
}

}  // namespace sealtool::test
