#include "support/loopback.h"

namespace KivTrans2::Testing {

void UseLoopbackOnly() {
  // The network layer's broadcast target is set here once it exists.
}

}  // namespace KivTrans2::Testing
