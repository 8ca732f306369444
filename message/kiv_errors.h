// message/kiv_errors.h — the library's exception classes. Public API.
//
// Each derives directly from Exception and carries only its message.
#pragma once

#include "host/exceptions.h"

namespace KivTrans2 {

// Server port conflicts, MaxPriorities changes, reading past the end of a request.
class KIV_API EKivServerError : public Exception {
  using Exception::Exception;
};
// A client without connection, SaveToFile without file name, reading an empty or
// exhausted answer, a bad line in a multi-line block.
class KIV_API EKivClientError : public Exception {
  using Exception::Exception;
};
// The request file or the marker file cannot be created.
class KIV_API EFileSystemError : public Exception {
  using Exception::Exception;
};
// No TCP connection can be made or found.
class KIV_API ETCPError : public Exception {
  using Exception::Exception;
};
// A request on a connection that is still busy.
class KIV_API EAlreadyWorking : public Exception {
  using Exception::Exception;
};
// A TCP-only operation called in FS mode.
class KIV_API EKivWrongModeError : public Exception {
  using Exception::Exception;
};

}  // namespace KivTrans2
