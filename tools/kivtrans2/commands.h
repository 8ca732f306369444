// tools/kivtrans2/commands.h — the commands of the kivtrans2 tool and its exit
// statuses.
#pragma once

#include <string>
#include <vector>

namespace KivTrans2::Tool {

// Exit statuses; scripts rely on them.
enum TExitStatus : int {
  kExitOk = 0,
  kExitFailure =
      1,           // could not start or run (a port taken, an unusable directory); seek: none found
  kExitUsage = 2,  // bad arguments
  kExitServerExists = 3,   // serve: another server with the key runs on this machine
  kExitGivenUp = 4,        // request: no answer within the window
  kExitNotConnected = 5,   // request: no TCP connection
  kExitNoServer = 6,       // request: no server marker in the directory (FS mode)
  kExitExchangeFailed = 7  // request: connection lost during the wait, unreadable answer
};

struct TCommand {
  const char* Name;
  const char* Summary;  // one line for the tool's help
  const char* Usage;    // the command's --help text
  // Runs the command with the words after its name. Raises TUsageError for a
  // bad command line; anything else it raises is a failure (status 1).
  int (*Run)(const std::vector<std::string>& Words);
};

extern const TCommand kServeCommand;
extern const TCommand kRequestCommand;
extern const TCommand kSeekCommand;
extern const TCommand kNotifyCommand;

// Prints "kivtrans2 COMMAND: Message" as one line on stderr.
void PrintError(const std::string& Command, const std::string& Message);

// Applies --broadcast when given. Raises TUsageError for a value that is not
// an IPv4 address.
class TArgs;
void ApplyBroadcastOption(const TArgs& Args);

}  // namespace KivTrans2::Tool
