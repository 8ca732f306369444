// host/exceptions.h — the framework's base exception class and the framework
// errors that the library lets pass. Public API.
#pragma once

#include <exception>
#include <string>

#include "host/kiv_export.h"

namespace KivTrans2 {

// Base of every exception the library raises. Carries only its message.
class KIV_API Exception : public std::exception {
 public:
  explicit Exception(std::string Message) : FMessage(std::move(Message)) {}
  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// A text that is not a decimal integer (StrToInt).
class KIV_API EConvertError : public Exception {
  using Exception::Exception;
};

// A file could not be created, opened, read, written or closed.
class KIV_API EInOutError : public Exception {
  using Exception::Exception;
};

// An index outside a list.
class KIV_API EListError : public Exception {
  using Exception::Exception;
};

}  // namespace KivTrans2
