// One whole run of the tool: the program's main, callable in-process.
#pragma once

namespace sealtool {

// Runs the tool on argv and returns main's result: 0, -1 for a syntax,
// input, check or key failure, 1 when the output cannot be written.
int RunSealTool(int argc, char** argv);

}  // namespace sealtool
