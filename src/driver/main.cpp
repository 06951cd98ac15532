#include "platform/process_guard.h"
#include "driver/run.h"

int main(int argc, char** argv) {
  if (!sealtool::GuardProcess()) {
    return -1;  // a standard stream is closed and /dev/null cannot stand in
  }
  return sealtool::RunSealTool(argc, argv);
}
