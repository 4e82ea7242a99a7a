// The signature table: one row per built-in detector, and the detector
// contract that every row's function follows.
#pragma once

#include <ntddk.h>

struct PacketView;

// A detector judges one packet through its view. IRQL: <= DISPATCH_LEVEL.
typedef ULONG (*NipsDetector)(PacketView* view);

// Detector results; any other value counts as no match.
constexpr ULONG kDetectNoMatch = 0;
constexpr ULONG kDetectError = 1;  // the packet's inspection is abandoned
constexpr ULONG kDetectMatch = 2;

// Packet protocol bits of a row's protocolMask.
constexpr ULONG kProtocolMaskTcp = 1;
constexpr ULONG kProtocolMaskUdp = 2;
constexpr ULONG kProtocolMaskIcmp = 4;  // ICMP and ICMPv6
constexpr ULONG kProtocolMaskAll = 7;

constexpr ULONG kSignatureRows = 48;
// Levels 1..4 enable a row; the level is the low byte of the level word.
constexpr ULONG kLevelCount = 4;
constexpr ULONG kLevelMask = 0xFF;

// Reactions (from the bank header, per level) and the action flags derived
// from them at enforce.
constexpr ULONG kReactionAllow = 2;
constexpr ULONG kReactionBlock = 3;
constexpr ULONG kActionFlagReport = 1;  // set with a non-zero policy flag
constexpr ULONG kActionFlagBlock = 2;

struct SignatureEntry {
  NipsDetector detector;  // may be null: the row never runs
  ULONG protocolMask;
  ULONG signatureId;
  ULONG level;  // the policy record's level word; only its low byte is the level
  ULONG policyFlag;
  ULONG actionFlags;  // derived at enforce: 0 ignore, 1 allow and report, 2/3 block and report
  ULONG reaction;     // derived at enforce: the header's reaction for this row's level
};
static_assert(sizeof(SignatureEntry) == 32, "SignatureEntry is a pointer and six u32");

struct SignatureTable {
  SignatureEntry rows[kSignatureRows];
};

inline ULONG RowLevel(const SignatureEntry& row) { return row.level & kLevelMask; }

// The built-in table, in its fixed row order (not sorted by id).
extern const SignatureTable g_signatureTable;
