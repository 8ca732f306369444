// tools/kivtrans2/shell_command.h — running one shell command with given input
// and collecting its output, for `kivtrans2 serve --exec`.
#pragma once

#include <string>

namespace KivTrans2::Tool {

struct TShellResult {
  std::string Output;  // everything the command wrote to its stdout
  int Status = 0;      // its exit status, or 128 + the signal that ended it
};

// Runs Command through /bin/sh -c with Input on its stdin and its stderr the
// tool's own, and waits until it has closed its stdout and ended. The command
// runs in a process group of its own, so a Ctrl-C meant for the tool does not
// cut an answer short; it starts with the default signal handling. Input the
// command does not read is dropped. Raises Exception when it cannot be started.
TShellResult RunShellCommand(const std::string& Command, const std::string& Input);

}  // namespace KivTrans2::Tool
