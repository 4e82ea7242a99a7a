#include "testlib/engine_support.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <utility>

namespace testlib {

PluginHolder::PluginHolder() : PluginHolder(g_signatureTable) {}

PluginHolder::PluginHolder(const SignatureTable& table)
    : memory_(::operator new(sizeof(NipsPlugin), std::align_val_t(alignof(NipsPlugin)))),
      plugin_(new (memory_) NipsPlugin(table)) {}

PluginHolder::~PluginHolder() {
  plugin_->Stop();
  plugin_->~NipsPlugin();
  ::operator delete(memory_, std::align_val_t(alignof(NipsPlugin)));
}

// ---- Scripted detectors ------------------------------------------------------

void DetectorScript::Reset() {
  for (ULONG r = 0; r < kSignatureRows; ++r) {
    result[r] = kDetectNoMatch;
    calls[r] = 0;
  }
  hook = nullptr;
  order.clear();
  recordOrder = true;
}

ULONG DetectorScript::TotalCalls() const {
  ULONG total = 0;
  for (ULONG r = 0; r < kSignatureRows; ++r) total += calls[r].load();
  return total;
}

DetectorScript& Script() {
  static DetectorScript* script = [] {
    auto* s = new DetectorScript;
    s->Reset();
    return s;
  }();
  return *script;
}

namespace {

template <ULONG Row>
ULONG ScriptedDetector(PacketView* view) {
  DetectorScript& script = Script();
  script.calls[Row].fetch_add(1);
  if (script.recordOrder) script.order.push_back(Row);
  if (script.hook) return script.hook(Row, view);
  return script.result[Row].load();
}

template <ULONG... Rows>
constexpr std::array<NipsDetector, sizeof...(Rows)> MakeDetectors(
    std::integer_sequence<ULONG, Rows...>) {
  return {&ScriptedDetector<Rows>...};
}

constexpr auto kScripted = MakeDetectors(std::make_integer_sequence<ULONG, kSignatureRows>());

}  // namespace

SignatureTable ScriptedTable() {
  SignatureTable table = g_signatureTable;
  for (ULONG r = 0; r < kSignatureRows; ++r) table.rows[r].detector = kScripted[r];
  return table;
}

SignatureTable TableWithDetector(NipsDetector detector) {
  SignatureTable table = g_signatureTable;
  for (SignatureEntry& row : table.rows) row.detector = detector;
  return table;
}

// ---- Configuration ---------------------------------------------------------------

BankHeader MakeHeader(std::initializer_list<ULONG> levelReactions, ULONG blockHost,
                      ULONG64 actionParam) {
  BankHeader header{};
  header.blockHost = blockHost;
  header.actionParam = actionParam;
  ULONG i = 0;
  for (ULONG reaction : levelReactions) {
    if (i < kLevelCount) header.levelReaction[i++] = reaction;
  }
  return header;
}

PolicyRecord Record(ULONG signatureId, ULONG level, ULONG policyFlag) {
  return PolicyRecord{signatureId, level, policyFlag};
}

NTSTATUS SendHandshake(NipsPlugin* plugin, const HandshakeRecord& peer, HandshakeRecord* reply,
                       ULONG64* bytesReturned) {
  HandshakeRecord in = peer;
  HandshakeRecord out{};
  ULONG64 returned = 0;
  NTSTATUS status = plugin->Control(kControlHandshake, &in, sizeof in, &out, sizeof out, &returned);
  if (reply != nullptr) *reply = out;
  if (bytesReturned != nullptr) *bytesReturned = returned;
  return status;
}

NTSTATUS SendHeader(NipsPlugin* plugin, const BankHeader& header) {
  BankHeader in = header;
  ULONG64 returned = 0;
  return plugin->Control(kControlSetBankHeader, &in, sizeof in, nullptr, 0, &returned);
}

NTSTATUS SendPolicy(NipsPlugin* plugin, const std::vector<PolicyRecord>& records) {
  // An exact-size copy: the dispatcher must read no byte past the records.
  const size_t bytes = records.size() * sizeof(PolicyRecord);
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes]);
  if (bytes != 0) memcpy(copy.get(), records.data(), bytes);
  ULONG64 returned = 0;
  return plugin->Control(kControlApplyPolicy, bytes == 0 ? nullptr : copy.get(), bytes, nullptr, 0,
                         &returned);
}

NTSTATUS SendEnforce(NipsPlugin* plugin) {
  ULONG64 returned = 0;
  return plugin->Control(kControlEnforce, nullptr, 0, nullptr, 0, &returned);
}

NTSTATUS SendLogMask(NipsPlugin* plugin, ULONG mask) {
  ULONG in = mask;
  ULONG64 returned = 0;
  return plugin->Control(kControlSetLogMask, &in, sizeof in, nullptr, 0, &returned);
}

NTSTATUS Configure(NipsPlugin* plugin, const BankHeader& header,
                   const std::vector<PolicyRecord>& records) {
  NTSTATUS status = SendHeader(plugin, header);
  if (status == STATUS_SUCCESS) status = SendPolicy(plugin, records);
  if (status == STATUS_SUCCESS) status = SendEnforce(plugin);
  return status;
}

std::vector<PolicyRecord> RecordsForAllRows(const SignatureTable& table, ULONG level,
                                            ULONG policyFlag) {
  std::vector<PolicyRecord> records;
  for (const SignatureEntry& row : table.rows) {
    records.push_back(Record(row.signatureId, level, policyFlag));
  }
  std::sort(records.begin(), records.end(), [](const PolicyRecord& a, const PolicyRecord& b) {
    return a.signatureId < b.signatureId;
  });
  return records;
}

}  // namespace testlib
