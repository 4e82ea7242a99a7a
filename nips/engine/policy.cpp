// Signature policy, bank header and enforce: the control requests that fill
// the pending bank and make it active.
#include "nips/detectors/detectors.h"
#include "nips/engine/config.h"
#include "nips/engine/log.h"
#include "nips/engine/plugin.h"

void LoadDefaultBank(ConfigBank* bank, const SignatureTable* table) {
  bank->header.blockHost = 0;
  bank->header.reserved = 0;
  bank->header.actionParam = kDefaultActionParam;
  for (ULONG& reaction : bank->header.levelReaction) reaction = kDefaultLevelReaction;
  RtlCopyMemory(bank->rows, table->rows, sizeof bank->rows);
  RtlZeroMemory(bank->map, sizeof bank->map);
  bank->recordCount = 0;
  DeriveReachablePositions(bank);
}

void DeriveReachablePositions(ConfigBank* bank) {
  RtlZeroMemory(bank->reachable, sizeof bank->reachable);
  RtlZeroMemory(bank->anyPort, sizeof bank->anyPort);
  RtlZeroMemory(bank->byDestinationPort, sizeof bank->byDestinationPort);
  RtlZeroMemory(bank->bySourcePort, sizeof bank->bySourcePort);
  const ULONG count = bank->recordCount < kPolicyMaxRecords ? bank->recordCount : kPolicyMaxRecords;
  for (ULONG position = 1; position <= count; ++position) {
    const ULONG row = bank->map[position - 1] - 1;
    const ULONG bit = 1u << ((position - 1) % kBitsPerWord);
    const ULONG word = (position - 1) / kBitsPerWord;
    // A map entry pointing nowhere logs whatever the ports.
    PortGate gate = {true, 0, 0};
    if (row < kSignatureRows) DetectorPortGate(bank->rows[row].detector, &gate);
    if (gate.anyPort) bank->anyPort[word] |= bit;
    for (ULONG portClass = 0; portClass < kPortClassCount; ++portClass) {
      if (gate.destinationClasses & (1u << portClass)) {
        bank->byDestinationPort[portClass][word] |= bit;
      }
      if (gate.sourceClasses & (1u << portClass)) bank->bySourcePort[portClass][word] |= bit;
    }
    for (ULONG protocolClass = 0; protocolClass < kProtocolClasses; ++protocolClass) {
      bool reachable = row >= kSignatureRows;
      if (!reachable) {
        // A reaction of 0 never beats the best match's starting reaction.
        const SignatureEntry& entry = bank->rows[row];
        reachable = RowLevel(entry) != 0 && (entry.protocolMask & (1u << protocolClass)) != 0 &&
                    entry.reaction != 0 && entry.detector != nullptr;
      }
      if (reachable) bank->reachable[protocolClass][word] |= bit;
    }
  }
}

void SetBankHeader(NipsPlugin* plugin, const void* header) {
  WaitForPendingBankIdle(plugin);
  RtlCopyMemory(&plugin->pendingBank->header, header, sizeof(BankHeader));
  plugin->headerSet = 1;
}

NTSTATUS ApplySignaturePolicy(NipsPlugin* plugin, const void* records, ULONG64 count) {
  if (count > kPolicyMaxRecords) return STATUS_INVALID_PARAMETER;
  WaitForPendingBankIdle(plugin);

  ConfigBank* bank = plugin->pendingBank;
  RtlCopyMemory(bank->rows, plugin->table->rows, sizeof bank->rows);
  RtlZeroMemory(bank->map, sizeof bank->map);
  bank->recordCount = count < kSignatureRows ? static_cast<ULONG>(count) : kSignatureRows;

  const auto* bytes = static_cast<const UCHAR*>(records);
  ULONG previousId = 0;
  ULONG matched = 0;
  for (ULONG i = 0; i < count; ++i) {
    PolicyRecord record;
    RtlCopyMemory(&record, bytes + static_cast<SIZE_T>(i) * kPolicyRecordBytes, sizeof record);
    if ((record.level & kLevelMask) > kMaxLevel || record.signatureId <= previousId) {
      return STATUS_NOT_SUPPORTED;
    }
    bool found = false;
    for (ULONG row = 0; row < kSignatureRows; ++row) {
      SignatureEntry& entry = bank->rows[row];
      if (entry.signatureId != record.signatureId) continue;
      entry.signatureId = record.signatureId;
      entry.level = record.level;
      entry.policyFlag = record.policyFlag;
      bank->map[i] = row + 1;
      found = true;
      NipsLog(plugin, true, kLogInfo, "Signature Id %u, Function %u, Level %u\n",
              record.signatureId, row, record.level & kLevelMask);
    }
    if (found) {
      ++matched;
    } else {
      NipsLog(plugin, true, kLogInfo, "Unsupported signature %u\n", record.signatureId);
    }
    previousId = record.signatureId;
  }

  ULONG enabled = 0;
  for (const SignatureEntry& entry : bank->rows) {
    if (RowLevel(entry) != 0) ++enabled;
  }
  NipsLog(plugin, true, kLogInfo,
          "Applied signature policy: %u functions, %u matched, %u enabled.\n", kSignatureRows,
          matched, enabled);
  plugin->policySet = 1;
  return STATUS_SUCCESS;
}

void DeriveReactions(ConfigBank* bank) {
  for (SignatureEntry& entry : bank->rows) {
    const ULONG level = RowLevel(entry);
    entry.reaction = level >= 1 && level <= kLevelCount ? bank->header.levelReaction[level - 1] : 0;
    if (entry.reaction == kReactionAllow) {
      entry.actionFlags = entry.policyFlag != 0 ? kActionFlagReport : 0;
    } else if (entry.reaction == kReactionBlock) {
      entry.actionFlags = kActionFlagBlock | (entry.policyFlag != 0 ? kActionFlagReport : 0);
    } else {
      entry.actionFlags = 0;
    }
  }
}

NTSTATUS EnforceConfiguration(NipsPlugin* plugin) {
  if (!plugin->headerSet || !plugin->policySet) return STATUS_ILLEGAL_FUNCTION;
  // Requests 2 and 3 of this cycle already waited; waiting again costs one
  // interlocked read and keeps enforce safe on its own.
  WaitForPendingBankIdle(plugin);
  DeriveReactions(plugin->pendingBank);
  DeriveReachablePositions(plugin->pendingBank);
  SwapBanks(plugin);
  NipsLog(plugin, true, kLogInfo, "Enforced new configuration.\n");
  return STATUS_SUCCESS;
}
