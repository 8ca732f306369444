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

}  // namespace KivTrans2
