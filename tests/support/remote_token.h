// A token on a "signing host": p11-kit's server with SoftHSM2 behind it,
// listening on a unix socket in the test's folder, and the client module
// that reaches it. The server is started by the object and ended by its
// process id when the object goes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "softhsm_token.h"

namespace sealtool::test {

// True when p11-kit's server and its client module are installed.
bool HaveRemoteToken();
inline constexpr char kNeedsRemoteToken[] =
    "needs p11-kit's server and client module (Debian's p11-kit and p11-kit-modules)";

// The client module's path.
std::string RemoteClientModule();

class RemoteTokenServer {
 public:
  // Serves the token labelled kTokenLabel of token; the socket is
  // dir/name. Throws when the server does not come up.
  RemoteTokenServer(const TempDir& dir, const SoftHsmToken& token, const std::string& name = "signing.sock");
  ~RemoteTokenServer();
  RemoteTokenServer(const RemoteTokenServer&) = delete;
  RemoteTokenServer& operator=(const RemoteTokenServer&) = delete;

  // P11_KIT_SERVER_ADDRESS=unix:path=..., for the client's environment.
  std::string AddressEnvironment() const { return "P11_KIT_SERVER_ADDRESS=unix:path=" + socket_; }
  // A URI of an object of the served token through the client module.
  std::string Uri(const std::string& attributes) const;

 private:
  std::string socket_;
  pid_t pid_ = -1;
};

}  // namespace sealtool::test
