// Configuration banks and the records of the control requests that fill
// them. Every record is little-endian, as user mode sends it.
#pragma once

#include <ntddk.h>

#include "nips/detectors/ports.h"
#include "nips/engine/signature.h"

constexpr ULONG kPolicyMaxRecords = 58;  // positions a policy may fill
constexpr ULONG kPolicyRecordBytes = 12;
constexpr ULONG kMaxLevel = 4;
constexpr ULONG kSigmaskWords = 4;  // 128 positions
constexpr ULONG kBitsPerWord = 32;
// Packet protocol classes, one per bit of the packet protocol mask.
constexpr ULONG kProtocolClasses = 3;

// Control request codes.
constexpr ULONG kControlHandshake = 1;
constexpr ULONG kControlSetBankHeader = 2;
constexpr ULONG kControlApplyPolicy = 3;
constexpr ULONG kControlEnforce = 4;
constexpr ULONG kControlSetLogMask = 5;
constexpr ULONG kControlDrainLog = 6;
constexpr ULONG kControlCloseLog = 7;
constexpr ULONG kControlGetAdditionalData = 8;

struct BankHeader {
  ULONG blockHost;  // non-zero: block verdicts block the host
  ULONG reserved;
  ULONG64 actionParam;               // action parameter of every match verdict
  ULONG levelReaction[kLevelCount];  // reaction of levels 1..4
};
static_assert(sizeof(BankHeader) == 32, "the bank header is the 32 bytes of request 2");

struct ConfigBank {
  BankHeader header;
  SignatureEntry rows[kSignatureRows];
  ULONG map[kPolicyMaxRecords];  // per policy position: 1 + row, or 0
  ULONG recordCount;             // positions 1..recordCount are dispatched; at most 48
  // Derived with the reactions, never sent by user mode: per protocol class,
  // the positions up to recordCount where the walk can act at all (a row that
  // may run, or a map entry pointing nowhere, which logs). The dispatcher
  // scans the core's sigmask ANDed with it, so rows that are off, null or of
  // another protocol cost nothing per packet.
  ULONG reachable[kProtocolClasses][kSigmaskWords];
  // Derived with them: the positions whose detectors' port gates admit every
  // packet, and those a packet's destination or source port class admits.
  // The dispatcher ANDs their union in as well, so a TCP or UDP packet costs
  // nothing for detectors its ports rule out.
  ULONG anyPort[kSigmaskWords];
  ULONG byDestinationPort[kPortClassCount][kSigmaskWords];
  ULONG bySourcePort[kPortClassCount][kSigmaskWords];
};

struct PolicyRecord {
  ULONG signatureId;
  ULONG level;  // low byte: level, below 5
  ULONG policyFlag;
};
static_assert(sizeof(PolicyRecord) == kPolicyRecordBytes, "policy records are 12 bytes");

constexpr ULONG kHandshakeMagic = 0x8BADF00D;

struct HandshakeRecord {
  ULONG magic;
  ULONG major;
  ULONG minor;
  ULONG revision;
  ULONG build;
};
static_assert(sizeof(HandshakeRecord) == 20, "the handshake record is 20 bytes");

// This driver's own version, "8.0.0.11690".
constexpr HandshakeRecord kPluginVersion = {kHandshakeMagic, 8, 0, 0, 11690};
// Oldest peer accepted: major 8, and for 8.0 build 1701 or the special build 1.
constexpr ULONG kPeerMinimumMajor = 8;
constexpr ULONG kPeerMinimumBuild = 1701;
constexpr ULONG kPeerAnyBuild = 1;

constexpr ULONG64 kDefaultActionParam = 0x00000000FFFFFFFFull;
constexpr ULONG kDefaultLevelReaction = 1;
