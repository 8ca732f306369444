// kivtrans2 — the KivTrans2 command-line tool: serve, request, seek, notify.
// Built on the library's public API only.
#include <cstdio>
#include <string>
#include <vector>

#include "KivTrans2.h"
#include "args.h"
#include "commands.h"
#include "main_loop.h"

namespace KivTrans2::Tool {

namespace {

const TCommand* const kCommands[] = {&kServeCommand, &kRequestCommand, &kSeekCommand,
                                     &kNotifyCommand};

std::string ToolUsage() {
  std::string Text =
      "Usage: kivtrans2 COMMAND [OPTIONS] [ARGUMENTS]\n"
      "\n"
      "Talks to KivTrans2 servers from the shell, and turns any script into one.\n"
      "\n"
      "Commands:\n";
  for (const TCommand* C : kCommands) {
    std::string Name = C->Name;
    Name.resize(10, ' ');
    Text += "  " + Name + C->Summary + "\n";
  }
  Text +=
      "\n"
      "Every command takes --broadcast ADDR (where discovery broadcasts go; default:\n"
      "the local networks', 127.255.255.255 keeps them on this machine) and --help.\n"
      "Defaults: port 2000, host 127.0.0.1, empty key, priority 1.\n"
      "Run 'kivtrans2 COMMAND --help' for a command's options and exit statuses.\n";
  return Text;
}

}  // namespace

void PrintError(const std::string& Command, const std::string& Message) {
  WriteLogLine("kivtrans2" + (Command.empty() ? "" : " " + Command) + ": " + Message);
}

void ApplyBroadcastOption(const TArgs& Args) {
  if (!Args.Has("broadcast")) return;
  const std::string Target = Args.Text("broadcast");
  if (Target.empty()) throw TUsageError("--broadcast needs an IPv4 address");
  try {
    SetBroadcastTarget(Target);
  } catch (const Exception&) {
    throw TUsageError("--broadcast takes an IPv4 address, not \"" + Target + "\"");
  }
}

int Main(const std::vector<std::string>& Words) {
  if (Words.empty()) {
    PrintError("", "a command is missing: serve, request, seek or notify (see kivtrans2 --help)");
    return kExitUsage;
  }
  const std::string& Name = Words.front();
  if (Name == "--help" || Name == "-h" || Name == "help") {
    std::fputs(ToolUsage().c_str(), stdout);
    return kExitOk;
  }
  const TCommand* Command = nullptr;
  for (const TCommand* C : kCommands)
    if (Name == C->Name) Command = C;
  if (Command == nullptr) {
    PrintError("", "unknown command \"" + Name + "\" (see kivtrans2 --help)");
    return kExitUsage;
  }
  const std::vector<std::string> Rest(Words.begin() + 1, Words.end());
  if (HelpAsked(Rest)) {
    std::fputs(Command->Usage, stdout);
    return kExitOk;
  }
  try {
    return Command->Run(Rest);
  } catch (const TUsageError& E) {
    PrintError(Name, std::string(E.what()) + " (see kivtrans2 " + Name + " --help)");
    return kExitUsage;
  } catch (const std::exception& E) {
    PrintError(Name, E.what());
    return kExitFailure;
  }
}

}  // namespace KivTrans2::Tool

int main(int argc, char** argv) {
  KivTrans2::SetMainThread();
  KivTrans2::Tool::IgnoreBrokenPipes();
  return KivTrans2::Tool::Main(std::vector<std::string>(argv + 1, argv + argc));
}
