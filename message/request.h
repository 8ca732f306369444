// message/request.h — TRequest, the server's container of one request: its
// entries with a read cursor, and the operations by which the application's
// OnRequest handler reads the request and writes the answer. Public API.
//
// Threads: in TCP mode the request's connection thread fills it while it is
// incoming; once queued it is read and answered on the main thread, and the
// server keeps the two apart. In FS mode every access is on the main thread.
// The object has no lock of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/files.h"
#include "host/kiv_export.h"
#include "host/line_sink.h"

namespace KivTrans2 {

// What a request needs of the server that created it. The server component
// implements it and outlives its requests.
class KIV_API TRequestOwner {
 public:
  virtual ~TRequestOwner() = default;
  // The transport in force: true writes the answer to Peer, false to AnswerFile.
  virtual bool GetUseTCP() const = 0;
};

class KIV_API TRequest {
 public:
  // A new, empty request: Priority 1, Code 0, Cursor 0. AServer is not owned
  // and must outlive the request.
  explicit TRequest(TRequestOwner* AServer);
  TRequest(const TRequest&) = delete;
  TRequest& operator=(const TRequest&) = delete;

  // Selects the queue; from "@prior" (TCP) or the request file's first line (FS).
  int32_t Priority = 1;
  // The request code from "@cod " (TCP); written back in the answer's "@cod ".
  int32_t Code = 0;
  // The entries in arrival order: data lines with their marker, empty entries,
  // "@cs-end", and in FS mode the request file's other lines as read.
  std::vector<std::string> Lines;
  // TCP mode: the connection the request arrived on, the answer's sink. Shared
  // with the connection; unset in FS mode.
  std::shared_ptr<TLineSink> Peer;
  // FS mode: server directory path and request name, without extension.
  std::string BaseName;
  // FS mode: the answer file, opened by the server before OnRequest and closed
  // after it. Owned by the request.
  std::unique_ptr<TTextFileWriter> AnswerFile;
  // Index of the next entry to read; the request is at its end when Cursor is
  // at or past the number of entries.
  int32_t Cursor = 0;
  // The server that created the request; not owned.
  TRequestOwner* Server;
  // When the request was queued, in TickCountMs() milliseconds (0 before); set
  // by the server, for the application's own accounting.
  int64_t QueuedAt = 0;

  // The read and write operations below are for the server's OnRequest handler
  // for this request. REQUIRES: main thread (or the thread that owns the request).

  void GoTopLine() { Cursor = 0; }
  bool IsEOF() const;

  // The text of the entry at Cursor, then advances Cursor: a data entry without
  // its marker, any other entry unchanged ("@cs-end", an empty entry, and in FS
  // mode a control line of the client's own). Raises EKivServerError "ReadLine
  // error. Request has reached the end" at the end, Cursor unchanged.
  std::string ReadLine();

  // Reads a string-list block from Cursor into List: every entry up to the
  // closing "@cs-end" is appended without its first byte; "@cs-end" is consumed
  // and not appended. A block left open ends after the request's last entry,
  // which is appended. With EmptyFirst, List is emptied first, even when the
  // read then fails. Raises EKivServerError "ReadStringList error. Request has
  // reached the end" when Cursor is at the end.
  void ReadStringList(std::vector<std::string>& List, bool EmptyFirst);

  // Write one line of the answer: to Peer when the server uses TCP (looked at on
  // every call), otherwise to AnswerFile. Raise EKivServerError when the text
  // would split into two lines at the client (ContainsLineBreak) or when no
  // sink is open; failures of the sink itself pass through.
  void WriteLine(const std::string& Text);                     // a data line: marker and text
  void WriteControlLine(const std::string& Line);              // the line unchanged
  void WriteStringList(const std::vector<std::string>& List);  // items, then "@cs-end"

 private:
  bool UseTCP() const;  // raises when the request has no server
  void CheckText(const std::string& Text, const char* Operation) const;
  void Send(const std::string& Line);
};

}  // namespace KivTrans2
