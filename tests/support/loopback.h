// Test support: keeps every datagram and connection of a test on 127.0.0.0/8.
#pragma once

namespace KivTrans2::Testing {

// Sets the library's broadcast target to 127.255.255.255. Called once by the
// tests' main before any test runs.
void UseLoopbackOnly();

}  // namespace KivTrans2::Testing
