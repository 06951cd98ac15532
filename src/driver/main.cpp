#include "driver/run.h"

int main(int argc, char** argv) { return sealtool::RunSealTool(argc, argv); }
