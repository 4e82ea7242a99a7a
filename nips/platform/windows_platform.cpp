// The Windows x64 side of what the kernel stand-in supplies under the same
// names (see windows_platform.h). Compiled only into the driver image.
#include "nips/platform/windows_platform.h"

#include <excpt.h>

// The guarded copy. GCC has no __try/__except; mingw-w64's __try1/__except1
// emit a real scope-table entry for __C_specific_handler (exported by
// ntoskrnl) around the code between them, with the filter below. When the
// filter accepts an exception, the kernel unwinds to the end of the guarded
// range, which the compiler does not know as a jump target. So the range
// holds nothing but one call to an out-of-line function: a fault inside it
// unwinds to this frame exactly as if the call had returned, and the status
// lives in memory (volatile), so the store that the fault skipped leaves the
// failure status in place. __try1 places fixed labels, so this file may
// hold only this one guarded range, and it must be compiled into .text
// (no -ffunction-sections): the macro switches back to .text by name.

// Called by __C_specific_handler during dispatch, at the faulting IRQL. Any
// exception ends the copy: the guarded range holds nothing but the call that
// probes and copies.
extern "C" __attribute__((used)) LONG NipsGuardedCopyFilter(PEXCEPTION_POINTERS exception,
                                                            PVOID establisherFrame) {
  UNREFERENCED_PARAMETER(exception);
  UNREFERENCED_PARAMETER(establisherFrame);
  return EXCEPTION_EXECUTE_HANDLER;
}

namespace {

// Raises STATUS_ACCESS_VIOLATION for a range that is not wholly below the
// user probe address, then writes the bytes; a fault on any page of the
// destination is raised as an exception too.
__attribute__((noinline)) NTSTATUS ProbeAndCopyToUser(PVOID userDestination, const VOID* source,
                                                      SIZE_T length) {
  ProbeForWrite(userDestination, length, 1);
  RtlCopyMemory(userDestination, source, length);
  return STATUS_SUCCESS;
}

}  // namespace

__attribute__((noinline, noclone)) NTSTATUS KeGuardedCopyToUser(PVOID userDestination,
                                                                const VOID* source, SIZE_T length) {
  volatile NTSTATUS status = STATUS_ACCESS_VIOLATION;
  __try1(NipsGuardedCopyFilter);
  status = ProbeAndCopyToUser(userDestination, source, length);
  __except1;
  return status;
}
