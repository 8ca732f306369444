// host/net_settings.h — process-wide settings of the network layer. Public API.
//
// Every function here is thread safe. A setting applies from the next operation
// that reads it (the next broadcast, the next line read).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host/ip_watch.h"
#include "host/kiv_export.h"

namespace KivTrans2 {

// Where a UDP broadcast goes. Empty (the default) means DefaultBroadcastTargets()
// of the interfaces present at the moment of sending; any other value is one
// IPv4 address in dotted form that every broadcast is sent to instead, for
// example "127.255.255.255" to keep all traffic on loopback. Raises Exception
// when Target is neither empty nor an IPv4 address.
KIV_API void SetBroadcastTarget(const std::string& Target);
KIV_API std::string BroadcastTarget();

// The addresses a broadcast is sent to now, one datagram each.
KIV_API std::vector<std::string> BroadcastTargets();

// The directed broadcast address of every interface that is up and has one,
// each once, in the order of Interfaces; "255.255.255.255" alone when there is
// none. (The limited broadcast 255.255.255.255 leaves a host with several
// networks through one interface only, so it is the last resort.)
KIV_API std::vector<std::string> DefaultBroadcastTargets(
    const std::vector<TInterfaceAddress>& Interfaces);

// The longest line a TCP line read accepts, in bytes without the line end
// (default kDefaultMaxLineLength). A peer that sends more without a LF gets its
// connection closed and the read raises ELineTooLong. Raises Exception for 0.
constexpr size_t kDefaultMaxLineLength = 1024 * 1024;
KIV_API void SetMaxLineLength(size_t Bytes);
KIV_API size_t MaxLineLength();

// Limits on what a peer can make the library hold. Each has a default that no
// legitimate exchange comes near; each setter raises Exception for 0.
//
// A request received over TCP may hold at most MaxRequestEntries entries and
// MaxRequestBytes bytes of entries (the lines as stored, marker included). The
// entry or byte that goes beyond drops the request (it is never answered) and
// closes its connection; the server goes on serving everyone else.
constexpr size_t kDefaultMaxRequestEntries = 1024 * 1024;
constexpr size_t kDefaultMaxRequestBytes = 16 * 1024 * 1024;
KIV_API void SetMaxRequestEntries(size_t Entries);
KIV_API size_t MaxRequestEntries();
KIV_API void SetMaxRequestBytes(size_t Bytes);
KIV_API size_t MaxRequestBytes();

// A request file larger than MaxRequestFileSize bytes is deleted unread, and
// one holding more than MaxRequestEntries entries is deleted unserved.
constexpr size_t kDefaultMaxRequestFileSize = 16 * 1024 * 1024;
KIV_API void SetMaxRequestFileSize(size_t Bytes);
KIV_API size_t MaxRequestFileSize();

// The most TCP connections one server holds open at once. A connection beyond
// it is closed as soon as it is accepted, before any line is read; it is never
// queued.
constexpr size_t kDefaultMaxConnections = 4096;
KIV_API void SetMaxConnections(size_t Connections);
KIV_API size_t MaxConnections();

// An answer that a client receives may hold at most MaxAnswerEntries entries
// and MaxAnswerBytes bytes of entries (over TCP: the lines as stored; in FS
// mode: the answer file's size). Beyond either, or past MaxLineLength(), the
// exchange ends with OnTransEnd(Success = False) and, over TCP, the connection
// is closed; an oversized answer file is deleted.
constexpr size_t kDefaultMaxAnswerEntries = 4 * 1024 * 1024;
constexpr size_t kDefaultMaxAnswerBytes = 64 * 1024 * 1024;
KIV_API void SetMaxAnswerEntries(size_t Entries);
KIV_API size_t MaxAnswerEntries();
KIV_API void SetMaxAnswerBytes(size_t Bytes);
KIV_API size_t MaxAnswerBytes();

}  // namespace KivTrans2
