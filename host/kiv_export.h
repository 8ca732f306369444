// host/kiv_export.h — symbol visibility for the shared library. Public API.
//
// The library is built with hidden visibility; only declarations marked KIV_API
// are exported from libKivTrans2.so.
#pragma once

#if defined(KIVTRANS2_BUILDING)
#define KIV_API __attribute__((visibility("default")))
#else
#define KIV_API
#endif
