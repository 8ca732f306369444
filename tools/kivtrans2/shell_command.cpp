// Running one shell command with given input and collecting its output.
#include "shell_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "KivTrans2.h"

extern char** environ;

namespace KivTrans2::Tool {

namespace {

[[noreturn]] void Fail(const std::string& What, int Error) {
  throw Exception("cannot run the command: " + What + ": " + std::strerror(Error));
}

// Closes a descriptor once; -1 marks it closed.
void CloseFd(int& Fd) {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

pid_t Spawn(const std::string& Command, int StdinFd, int StdoutFd) {
  posix_spawn_file_actions_t Actions;
  posix_spawnattr_t Attributes;
  posix_spawn_file_actions_init(&Actions);
  posix_spawnattr_init(&Attributes);
  posix_spawn_file_actions_adddup2(&Actions, StdinFd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&Actions, StdoutFd, STDOUT_FILENO);
  sigset_t Defaults;
  sigemptyset(&Defaults);
  sigaddset(&Defaults, SIGPIPE);  // ignored by the tool, not by its commands
  sigaddset(&Defaults, SIGINT);
  sigaddset(&Defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&Attributes, &Defaults);
  sigset_t NoneBlocked;
  sigemptyset(&NoneBlocked);
  posix_spawnattr_setsigmask(&Attributes, &NoneBlocked);
  posix_spawnattr_setpgroup(&Attributes, 0);
  posix_spawnattr_setflags(&Attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
  std::string Shell = "/bin/sh", Flag = "-c", Text = Command;
  char* Argv[] = {Shell.data(), Flag.data(), Text.data(), nullptr};
  pid_t Pid = -1;
  int Rc = posix_spawn(&Pid, "/bin/sh", &Actions, &Attributes, Argv, environ);
  posix_spawn_file_actions_destroy(&Actions);
  posix_spawnattr_destroy(&Attributes);
  if (Rc != 0) Fail("/bin/sh", Rc);
  return Pid;
}

}  // namespace

TShellResult RunShellCommand(const std::string& Command, const std::string& Input) {
  int In[2], Out[2];
  if (::pipe2(In, O_CLOEXEC) != 0) Fail("pipe", errno);
  if (::pipe2(Out, O_CLOEXEC) != 0) {
    const int Error = errno;
    ::close(In[0]);
    ::close(In[1]);
    Fail("pipe", Error);
  }
  int ToChild = In[1], FromChild = Out[0];
  pid_t Pid;
  try {
    Pid = Spawn(Command, In[0], Out[1]);
  } catch (...) {
    for (int Fd : {In[0], In[1], Out[0], Out[1]}) ::close(Fd);
    throw;
  }
  ::close(In[0]);
  ::close(Out[1]);
  ::fcntl(ToChild, F_SETFL, O_NONBLOCK);

  // Feed the input and collect the output at the same time, so that neither
  // side waits for the other with a full pipe.
  TShellResult Result;
  size_t Written = 0;
  if (Input.empty()) CloseFd(ToChild);
  while (FromChild >= 0) {
    pollfd Fds[2] = {{FromChild, POLLIN, 0}, {ToChild, POLLOUT, 0}};
    if (::poll(Fds, ToChild >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ToChild >= 0 && (Fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      ssize_t N = ::write(ToChild, Input.data() + Written, Input.size() - Written);
      if (N > 0) Written += static_cast<size_t>(N);
      // EPIPE: the command has closed its input; the rest is not wanted.
      if ((N < 0 && errno != EAGAIN && errno != EINTR) || Written == Input.size()) CloseFd(ToChild);
    }
    if ((Fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char Buffer[65536];
      ssize_t N = ::read(FromChild, Buffer, sizeof Buffer);
      if (N > 0)
        Result.Output.append(Buffer, static_cast<size_t>(N));
      else if (N == 0 || errno != EINTR)
        CloseFd(FromChild);
    }
  }
  CloseFd(ToChild);
  CloseFd(FromChild);

  int Status = 0;
  while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
  }
  Result.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  return Result;
}

}  // namespace KivTrans2::Tool
