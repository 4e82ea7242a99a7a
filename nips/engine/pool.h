// Driver-wide allocation settings and pool tags.
#pragma once

#include <ntddk.h>

// NonPagedPool unless driver entry finds OS 6.2 or later (NonPagedPoolNx).
extern POOL_TYPE g_poolType;
// Flags of the tracking store's lookaside lists: POOL_NX_ALLOCATION on 6.2+.
extern ULONG g_lookasideFlags;

// Tags read as they appear in a pool dump: 'pnvQ' is "Qvnp".
constexpr ULONG kPoolTagEngine = 'pnvQ';        // "Qvnp": inspection engine
constexpr ULONG kPoolTagHostRecord = 'tavQ';    // "Qvat": HostRecord cache
constexpr ULONG kPoolTagPortItem = 'spvQ';      // "Qvps": PortItem cache
constexpr ULONG kPoolTagConversation = 'tsvQ';  // "Qvst": ConversationRecord cache
