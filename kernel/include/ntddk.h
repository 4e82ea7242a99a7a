// User-mode stand-in for the subset of the Windows kernel (ntoskrnl) that the
// driver calls. Names, types and signatures follow the WDK so that the driver
// sources compile unchanged; the semantics are kept honest (IRQL, spin locks,
// pool ledger, lookaside depth) and a verifier stops the program on misuse.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// ---- Basic types (LLP64, as on Windows x64) --------------------------------
typedef void VOID;
typedef void* PVOID;
typedef uint8_t UCHAR;
typedef uint8_t* PUCHAR;
typedef char CHAR;  // plain char, as PCHAR and PCSTR point to
typedef char* PCHAR;
typedef const char* PCSTR;
typedef uint16_t USHORT;
typedef uint16_t* PUSHORT;
typedef int16_t SHORT;
typedef uint32_t ULONG;
typedef uint32_t* PULONG;
typedef int32_t LONG;
typedef int32_t* PLONG;
typedef uint64_t ULONG64;
typedef uint64_t* PULONG64;
typedef uint64_t ULONGLONG;
typedef int64_t LONGLONG;
typedef int64_t LONG64;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t* PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
// Windows' WCHAR is 16 bits; wchar_t is 32 bits on Linux, so the stand-in
// uses char16_t. Driver sources spell wide literals through NTTEXT().
typedef char16_t WCHAR;
typedef WCHAR* PWCH;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef LONG KPRIORITY;

#define NTTEXT(s) u##s

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL 0
#endif

#define NTAPI
#define IN
#define OUT
#define OPTIONAL
#define _In_
#define _Out_
#define _Inout_
#define _In_opt_
#define _Out_opt_
#define UNREFERENCED_PARAMETER(p) ((void)(p))

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID;

// ---- Statuses ---------------------------------------------------------------
#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
constexpr NTSTATUS NtStatus(uint32_t v) { return static_cast<NTSTATUS>(v); }
#define STATUS_SUCCESS NtStatus(0x00000000u)
#define STATUS_TIMEOUT NtStatus(0x00000102u)
#define STATUS_BUFFER_OVERFLOW NtStatus(0x80000005u)
#define STATUS_UNSUCCESSFUL NtStatus(0xC0000001u)
#define STATUS_NOT_IMPLEMENTED NtStatus(0xC0000002u)
#define STATUS_ACCESS_VIOLATION NtStatus(0xC0000005u)
#define STATUS_INVALID_HANDLE NtStatus(0xC0000008u)
#define STATUS_INVALID_PARAMETER NtStatus(0xC000000Du)
#define STATUS_NO_MEMORY NtStatus(0xC0000017u)
#define STATUS_ACCESS_DENIED NtStatus(0xC0000022u)
#define STATUS_BUFFER_TOO_SMALL NtStatus(0xC0000023u)
#define STATUS_OBJECT_NAME_INVALID NtStatus(0xC0000033u)
#define STATUS_OBJECT_NAME_NOT_FOUND NtStatus(0xC0000034u)
#define STATUS_OBJECT_NAME_COLLISION NtStatus(0xC0000035u)
#define STATUS_OBJECT_PATH_NOT_FOUND NtStatus(0xC000003Au)
#define STATUS_REVISION_MISMATCH NtStatus(0xC0000059u)
#define STATUS_INSUFFICIENT_RESOURCES NtStatus(0xC000009Au)
#define STATUS_ILLEGAL_FUNCTION NtStatus(0xC00000AFu)
#define STATUS_NOT_SUPPORTED NtStatus(0xC00000BBu)
#define STATUS_INVALID_DEVICE_REQUEST NtStatus(0xC0000010u)
#define STATUS_ILL_FORMED_SERVICE_ENTRY NtStatus(0xC0000160u)

// ---- IRQL ---------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

KIRQL KeGetCurrentIrql(void);
VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
VOID KeLowerIrql(KIRQL newIrql);

// ---- Spin locks -------------------------------------------------------------------
VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock);
VOID KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql);

// ---- Interlocked operations ---------------------------------------------------------
// Compiler intrinsics in the WDK, so inline here too: a call per operation
// would charge the driver's hot paths for something the real kernel does not.
inline LONG InterlockedIncrement(LONG volatile* addend) {
  return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* addend) {
  return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}
inline LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
  return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange,
                                               PVOID comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}
// Plain loads and stores that other processors may race with (ReadNoFence /
// WriteNoFence in the WDK): atomic here so that the thread sanitizer sees them.
inline LONG ReadNoFence(LONG const volatile* source) {
  return __atomic_load_n(source, __ATOMIC_RELAXED);
}
inline VOID WriteNoFence(LONG volatile* destination, LONG value) {
  __atomic_store_n(destination, value, __ATOMIC_RELAXED);
}
inline PVOID ReadPointerAcquire(PVOID const volatile* source) {
  return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}
inline VOID WritePointerRelease(PVOID volatile* destination, PVOID value) {
  __atomic_store_n(destination, value, __ATOMIC_RELEASE);
}

// ---- Pool -------------------------------------------------------------------------------
typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolNx = 512,
} POOL_TYPE;

#define POOL_NX_ALLOCATION 0x200

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes);
VOID ExFreePoolWithTag(PVOID p, ULONG tag);
VOID ExFreePool(PVOID p);

// ---- Events and waits -------------------------------------------------------------------
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;
typedef enum _MODE { KernelMode = 0, UserMode = 1, MaximumMode = 2 } MODE;
typedef CHAR KPROCESSOR_MODE;

typedef struct _KEVENT {
  LONG type;
  LONG signalState;
} KEVENT, *PKEVENT;

VOID KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PKEVENT event, KPRIORITY increment, BOOLEAN wait);
VOID KeClearEvent(PKEVENT event);
LONG KeReadStateEvent(PKEVENT event);
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);

// ---- Lookaside lists ------------------------------------------------------------------------
typedef struct _NPAGED_LOOKASIDE_LIST {
  PVOID listHead;  // entries kept for reuse, linked through their first word
  USHORT depth;    // how many freed entries are kept
  USHORT count;    // how many are kept now
  ULONG size;      // entry size
  ULONG tag;
  POOL_TYPE poolType;
  ULONG flags;
  ULONG totalAllocates;
  ULONG allocateMisses;
  ULONG totalFrees;
  ULONG freeMisses;
  volatile LONG guard;  // the stand-in's own lock; never counted as a driver lock
  ULONG magic;          // set while initialised, for the verifier
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;

typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE, SIZE_T, ULONG);
typedef VOID (*PFREE_FUNCTION)(PVOID);

VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
                                     PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag,
                                     USHORT depth);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside);
VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry);
VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside);

// ---- Time --------------------------------------------------------------------------------------
// System time in 100-ns units since 1601-01-01 UTC, as the shared user-data
// page publishes it.
VOID KeQuerySystemTime(PLARGE_INTEGER currentTime);

// ---- Versions and addresses
// ------------------------------------------------------------------------
typedef struct _OSVERSIONINFOW {
  ULONG dwOSVersionInfoSize;
  ULONG dwMajorVersion;
  ULONG dwMinorVersion;
  ULONG dwBuildNumber;
  ULONG dwPlatformId;
  WCHAR szCSDVersion[128];
} RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276, "RTL_OSVERSIONINFOW is 276 bytes");

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW versionInformation);

// The process is one address space for both sides: the stand-in calls every
// mapped address from 64 KiB (Linux's lowest mappable address) up a system
// address, and every address up to the top of the x86-64 user half a user
// address. See kernel/README.md.
extern PVOID MmSystemRangeStart;
extern PVOID MmHighestUserAddress;
BOOLEAN MmIsAddressValid(PVOID virtualAddress);

// Stands for "__try { ProbeForWrite(); RtlCopyMemory(); } __except" around a
// copy into a caller's user buffer: a faulting destination gives
// STATUS_ACCESS_VIOLATION instead of a crash.
NTSTATUS KeGuardedCopyToUser(PVOID userDestination, const VOID* source, SIZE_T length);

// ---- Memory and strings -----------------------------------------------------------------------
#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlFillMemory(d, n, v) memset((d), (v), (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminator
  USHORT MaximumLength;  // bytes
  PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
SIZE_T KtWideLength(PCWSTR s);  // wcslen for 16-bit characters

int _strnicmp(const char* a, const char* b, size_t count);
int _stricmp(const char* a, const char* b);
int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t count);
WCHAR* wcsncpy(WCHAR* destination, const WCHAR* source, size_t count);

// ---- Objects, files, devices
// ----------------------------------------------------------------------
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef VOID (*PIO_APC_ROUTINE)(PVOID apcContext, PIO_STATUS_BLOCK ioStatusBlock, ULONG reserved);

#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define FILE_NON_DIRECTORY_FILE 0x00000040

#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define CTL_CODE(type, function, method, access) \
  (((type) << 16) | ((access) << 14) | ((function) << 2) | (method))

NTSTATUS ZwOpenFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                    POBJECT_ATTRIBUTES objectAttributes, PIO_STATUS_BLOCK ioStatusBlock,
                    ULONG shareAccess, ULONG openOptions);
NTSTATUS ZwDeviceIoControlFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                               PVOID apcContext, PIO_STATUS_BLOCK ioStatusBlock,
                               ULONG ioControlCode, PVOID inputBuffer, ULONG inputBufferLength,
                               PVOID outputBuffer, ULONG outputBufferLength);
NTSTATUS ZwClose(HANDLE handle);

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName);

struct _DRIVER_OBJECT;
typedef VOID DRIVER_UNLOAD(struct _DRIVER_OBJECT* driverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;

typedef struct _DRIVER_OBJECT {
  SHORT Type;
  SHORT Size;
  PVOID DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PVOID DriverExtension;
  UNICODE_STRING DriverName;  // "\Driver\<name>"
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PVOID DriverInit;
  PVOID DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// ---- Registry
// --------------------------------------------------------------------------------------
#define KEY_READ 0x20019
#define KEY_ALL_ACCESS 0xF003F
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_OPTION_NON_VOLATILE 0

typedef enum _KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                   POBJECT_ATTRIBUTES objectAttributes);
NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                     POBJECT_ATTRIBUTES objectAttributes, ULONG titleIndex, PUNICODE_STRING klass,
                     ULONG createOptions, PULONG disposition);
NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                         PVOID keyValueInformation, ULONG length, PULONG resultLength);
NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type,
                       PVOID data, ULONG dataSize);

// ---- List helpers (as in wdm.h)
// ------------------------------------------------------------------------
typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

inline VOID InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink;
  PLIST_ENTRY prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
inline VOID InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY last = head->Blink;
  entry->Flink = head;
  entry->Blink = last;
  last->Flink = entry;
  head->Blink = entry;
}
inline VOID InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY first = head->Flink;
  entry->Flink = first;
  entry->Blink = head;
  first->Blink = entry;
  head->Flink = entry;
}

#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<PCHAR>(address) - offsetof(type, field)))
