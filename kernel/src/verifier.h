// Internal to the kernel stand-in: the verifier's stop.
#pragma once

namespace kt::internal {

// Prints a driver-verifier style stop naming the broken rule and aborts.
[[noreturn]] void VerifierStop(const char* rule, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

void CheckIrqlAtMost(int maximum, const char* routine);

}  // namespace kt::internal
