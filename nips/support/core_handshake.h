// The handshake with the product's core driver, which answers with the
// loader record the driver needs to register as a content driver.
#pragma once

#include <ntddk.h>

#include "nips/host/loader.h"

// Registry path copies and service names: 149 characters and the NUL.
constexpr ULONG kServiceNameCapacity = 150;

constexpr WCHAR kCoreDriverName[] = NTTEXT("vaultkd");
constexpr WCHAR kDevicePathPrefix[] = NTTEXT("\\Device\\");
constexpr ULONG kCoreHandshakeIoctl = CTL_CODE(0x42, 0x80D, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(kCoreHandshakeIoctl == 0x422034, "handshake control code");
constexpr ACCESS_MASK kCoreDeviceAccess = FILE_READ_DATA | FILE_WRITE_DATA;
constexpr ULONG kCoreDeviceShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kCoreDeviceOptions = FILE_NON_DIRECTORY_FILE;
constexpr ULONG kCoreDeviceAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;

// IRQL: PASSIVE_LEVEL. Opens the driver's service key (registryPath, at most
// 149 of its pathLength characters) and asks the core driver for the loader
// record. *record points at the driver's static copy of the reply, or stays
// null when any step fails (silently).
// serviceName and altServiceName, when not null, receive kServiceNameCapacity
// characters each: the last component of the path, and the key's
// "AltServiceName" string (the service name when it cannot be read).
VOID QueryLoaderRecord(PCWSTR registryPath, ULONG pathLength, LoaderRecord** record,
                       WCHAR* serviceName = nullptr, WCHAR* altServiceName = nullptr);
