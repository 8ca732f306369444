// KivTrans2.h — the one header an application includes. Public API.
//
// KivTrans2 exchanges requests and answers between applications on a local
// network: a TKivClient writes a request through a TKivConnection (TCP, or
// files in a shared directory) and receives the answer through its events; a
// TKivServer queues requests by priority and answers one per tick through its
// OnRequest event. Every event runs on the application's main thread, which the
// application drives with CheckSynchronize (host/thread.h).
#pragma once

#include "client/kiv_client.h"
#include "client/kiv_connection.h"
#include "discovery/datagrams.h"
#include "host/component.h"
#include "host/exceptions.h"
#include "host/files.h"
#include "host/net_errors.h"
#include "host/net_settings.h"
#include "host/sysutils.h"
#include "host/thread.h"
#include "message/answer.h"
#include "message/kiv_errors.h"
#include "message/request.h"
#include "package/package.h"
#include "server/kiv_server.h"
