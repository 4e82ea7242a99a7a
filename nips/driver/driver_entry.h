// Driver entry and unload. The driver is loaded for the core driver's
// content-driver loader; it becomes unloadable only when the loader calls
// PrepareUnload, which installs NipsDriverUnload.
#pragma once

#include <ntddk.h>

// The driver object given to DriverEntry.
extern PDRIVER_OBJECT g_driverObject;

// IRQL: PASSIVE_LEVEL. The image's entry point (the WDK's name and linkage).
// Fails with STATUS_ILL_FORMED_SERVICE_ENTRY (no loader record),
// STATUS_REVISION_MISMATCH (wrong magic or interface version),
// STATUS_NO_MEMORY (no content-driver object), STATUS_UNSUCCESSFUL (plug-in
// start or registry refused) or the loader's own refusal; a failure is
// recorded as "DriverEntry" in the service key and everything is undone.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// IRQL: PASSIVE_LEVEL. Withdraws the version link.
VOID NipsDriverUnload(PDRIVER_OBJECT driverObject);
