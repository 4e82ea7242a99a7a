// The driver's published name: the version symbolic link that tells which
// build is loaded, and the entry status left in the service key.
#pragma once

#include <ntddk.h>

// The build version text the link names. The Windows image keeps it, once,
// in its build-variable section (NIPS_BUILD_VARIABLE, defined by
// nips/platform/windows_platform.h); elsewhere the marker is empty.
#ifndef NIPS_BUILD_VARIABLE
#define NIPS_BUILD_VARIABLE
#endif
NIPS_BUILD_VARIABLE inline constexpr WCHAR kDriverBuildVersion[] = NTTEXT("8.0.0.11690");
// Link name and target buffers: 299 characters and the NUL.
constexpr ULONG kVersionLinkCapacity = 300;
constexpr WCHAR kDriverEntryValueName[] = NTTEXT("DriverEntry");

// IRQL: PASSIVE_LEVEL. (Re)creates "\Device\<driver>.<version>" pointing at
// "\Driver\<driver>", where <driver> is the last component of the driver
// object's name. A link left by an earlier load is replaced.
VOID PublishVersionLink(PDRIVER_OBJECT driverObject, PCWSTR version);
// IRQL: PASSIVE_LEVEL. Deletes that link.
VOID WithdrawVersionLink(PDRIVER_OBJECT driverObject, PCWSTR version);

// IRQL: PASSIVE_LEVEL. Stores a non-zero status as the REG_DWORD
// "DriverEntry" of the service key (at most 149 characters of the path).
VOID RecordEntryStatus(PCWSTR registryPath, ULONG pathLength, NTSTATUS status);
