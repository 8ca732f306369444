#include "support/loopback.h"

#include "host/net_settings.h"

namespace KivTrans2::Testing {

void UseLoopbackOnly() {
  SetBroadcastTarget("127.255.255.255");
}

}  // namespace KivTrans2::Testing
