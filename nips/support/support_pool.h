// Pool tag of the kernel support library's short-lived buffers (names,
// formatted paths, registry retry areas). All of them come from paged pool:
// the support routines run at PASSIVE_LEVEL only.
#pragma once

#include <ntddk.h>

constexpr ULONG kPoolTagSupport = 'usvQ';  // "Qvsu"
