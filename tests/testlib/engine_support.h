// Test support around the plug-in: a heap-held plug-in, signature tables with
// scripted test detectors, and the control requests of a configuration cycle.
#pragma once

#include <ntddk.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "nips/engine/config.h"
#include "nips/engine/packet_view.h"
#include "nips/engine/plugin.h"
#include "nips/engine/signature.h"

namespace testlib {

// A plug-in on the heap (it embeds the 128 KiB log queue), constructed in
// place as the driver does. Stopped and destroyed with the holder.
class PluginHolder {
 public:
  PluginHolder();  // over the built-in table
  explicit PluginHolder(const SignatureTable& table);
  ~PluginHolder();
  PluginHolder(const PluginHolder&) = delete;
  PluginHolder& operator=(const PluginHolder&) = delete;

  NipsPlugin* get() const { return plugin_; }
  NipsPlugin* operator->() const { return plugin_; }
  NipsPlugin& operator*() const { return *plugin_; }

 private:
  void* memory_;
  NipsPlugin* plugin_;
};

// ---- Scripted detectors ----------------------------------------------------
// Row r of a scripted table runs ScriptedDetector<r>, which counts the call,
// records the row in call order and returns what the script says for r: the
// hook's result when a hook is set, else result[r].
struct DetectorScript {
  std::atomic<ULONG> result[kSignatureRows];
  std::atomic<ULONG> calls[kSignatureRows];
  std::function<ULONG(ULONG row, PacketView* view)> hook;  // optional
  std::vector<ULONG> order;                                // rows in call order (one thread)
  bool recordOrder = true;

  void Reset();  // every result kDetectNoMatch, counts 0, no hook
  ULONG TotalCalls() const;
};
DetectorScript& Script();  // the one script; reset it in each test's set-up

// The built-in table (ids and masks) with every row's detector scripted,
// including the rows whose built-in detector is null.
SignatureTable ScriptedTable();
// The built-in table with every row's detector set to one function.
SignatureTable TableWithDetector(NipsDetector detector);

// ---- Configuration ---------------------------------------------------------
BankHeader MakeHeader(std::initializer_list<ULONG> levelReactions, ULONG blockHost = 0,
                      ULONG64 actionParam = 0x1234);
PolicyRecord Record(ULONG signatureId, ULONG level, ULONG policyFlag = 1);

NTSTATUS SendHandshake(NipsPlugin* plugin, const HandshakeRecord& peer,
                       HandshakeRecord* reply = nullptr, ULONG64* bytesReturned = nullptr);
NTSTATUS SendHeader(NipsPlugin* plugin, const BankHeader& header);
NTSTATUS SendPolicy(NipsPlugin* plugin, const std::vector<PolicyRecord>& records);
NTSTATUS SendEnforce(NipsPlugin* plugin);
NTSTATUS SendLogMask(NipsPlugin* plugin, ULONG mask);
// Header, policy and enforce; the first failing status, or STATUS_SUCCESS.
NTSTATUS Configure(NipsPlugin* plugin, const BankHeader& header,
                   const std::vector<PolicyRecord>& records);
// One record per row of the table, ascending ids, all at one level.
std::vector<PolicyRecord> RecordsForAllRows(const SignatureTable& table, ULONG level,
                                            ULONG policyFlag = 1);

}  // namespace testlib
