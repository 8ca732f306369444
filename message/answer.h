// message/answer.h — TAnswer, the client's container of the answer to its latest
// request: the entries with a read cursor, and the read operations the client
// forwards to the application. Public API.
//
// Threads: the connection's wait thread fills Lines (inside a TCP read or after
// loading the answer file) and hands the answer to the main thread through
// Synchronize; the application reads it on the main thread, in OnAnswer or
// later. LineArrived is the only field touched by both at once. The object has
// no lock; reading while an exchange is still running is the caller's risk.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "host/component.h"
#include "host/kiv_export.h"

namespace KivTrans2 {

class KIV_API TAnswer {
 public:
  // A new, empty answer. AClient (the owning client, not owned) names the
  // answer in error messages; it must outlive the answer.
  explicit TAnswer(const TComponent* AClient);
  TAnswer(const TAnswer&) = delete;
  TAnswer& operator=(const TAnswer&) = delete;

  // Index of the next entry to read; at the end when at or past the number of
  // entries.
  int32_t Cursor = 0;
  // The entries in arrival order: data lines with their marker and "@cs-end"
  // (TCP), every line of the answer file (FS). Kept until the next answer
  // replaces them.
  std::vector<std::string> Lines;
  // Set by the wait thread for every line that arrives over TCP; cleared when a
  // wait starts and after each timeout.
  std::atomic<bool> LineArrived{false};
  // The client that owns the answer; only its Name is used.
  const TComponent* Client;

  // REQUIRES (all below): main thread, or the wait thread while it owns the
  // exchange. Every error raises EKivClientError with a message that begins
  // with "Could not run \"", the client's Name, and the operation.

  void GoTopLine() { Cursor = 0; }
  bool IsEOF() const;

  // The text of the entry at Cursor, then advances Cursor: a data entry without
  // its marker, any other entry ("@cs-end", an empty entry, a control line of
  // the server's own in FS mode) unchanged. Raises "... Empty answer." with no
  // entries, "... Answer has reached the end." at the end; Cursor unchanged.
  std::string ReadLine();

  // Reads a multi-line block from Cursor up to and including "@cs-end" and
  // returns its decoded text (DecodeMultiLines). A block left open ends after
  // the answer's last entry. A non-data entry in the block raises "Invalid line
  // in ReadMultiLines: " and the entry, with Cursor already behind it.
  std::string ReadMultiLines();

  // Reads a string-list block from Cursor into List: data entries without their
  // marker, other entries unchanged; the closing "@cs-end" is consumed and not
  // appended. A block left open ends after the answer's last entry, which is
  // appended. With EmptyFirst, List is emptied once the checks have passed: a
  // failed read leaves it untouched.
  void ReadStringList(std::vector<std::string>& List, bool EmptyFirst);

  // Replaces List with the ReadLine texts of every entry from Cursor to the end,
  // and leaves Cursor at the end. Never raises.
  void CopyToList(std::vector<std::string>& List);

 private:
  // Raises the "Empty answer." or "Answer has reached the end." error of the
  // operation whose name is given, when reading cannot start.
  void CheckReadable(const char* Operation) const;
};

}  // namespace KivTrans2
