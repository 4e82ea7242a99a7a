// Dispatch against a reference walk over the policy positions, written from the
// configuration requests alone, on seeded random tables, policies, reactions,
// sigmasks and detector results. The engine derives per protocol which
// positions can act at all; the reference derives nothing, so a slip in that
// derivation shows up as a different call, verdict, report or log line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <random>

#include "engine_fixture.h"
#include "nips/engine/additional_data.h"

namespace enginetest {
namespace {

using Line = std::tuple<ULONG, USHORT, std::string>;  // category, kind, text

struct Random {
  std::mt19937 rng{20261206};
  ULONG operator()(ULONG below) { return rng() % below; }
  ULONG Word() { return static_cast<ULONG>(rng()); }
};

struct Row {
  bool detector;
  ULONG protocolMask, id, levelWord, flag, reaction, actionFlags;
  ULONG Level() const { return levelWord & 0xFF; }
};
struct Bank {
  BankHeader header;
  Row rows[kSignatureRows];
  ULONG map[kPolicyMaxRecords], count;
};
struct Packet {
  UCHAR protocol;
  bool hasSigmask;
  ULONG sigmask[kSigmaskWords], result[kSignatureRows];
  bool evidence[kSignatureRows];  // the row's detector fills an evidence slot
};

// The row's evidence text, as its scripted detector writes it.
std::string EvidenceOf(ULONG row) { return "ev" + std::to_string(row); }

// Values are spelled out as the configuration requests and the core's calls
// define them, not taken from the engine's constants.
class Model {
 public:
  explicit Model(const SignatureTable& table) {
    for (ULONG r = 0; r < kSignatureRows; ++r) {
      const SignatureEntry& e = table.rows[r];
      builtIn_[r] = {
          e.detector != nullptr, e.protocolMask, e.signatureId, e.level, e.policyFlag, 0, 0};
    }
    active_.header = testlib::MakeHeader({1, 1, 1, 1}, 0, kDefaultActionParam);
    std::copy(builtIn_, builtIn_ + kSignatureRows, active_.rows);
  }
  ULONG logMask = kDefaultLogMask;
  std::vector<Line> log;
  std::vector<ULONG> order;    // rows whose detector ran
  std::vector<ULONG64> calls;  // what the verdict sink was told

  void SetHeader(const BankHeader& header) { pending_.header = header, headerSet_ = true; }

  NTSTATUS Apply(const std::vector<PolicyRecord>& records) {
    if (records.size() > kPolicyMaxRecords) return STATUS_INVALID_PARAMETER;
    Bank& b = pending_;
    std::copy(builtIn_, builtIn_ + kSignatureRows, b.rows);
    std::fill(b.map, b.map + kPolicyMaxRecords, 0);
    b.count = std::min<ULONG>(records.size(), kSignatureRows);
    ULONG previous = 0, matched = 0;
    for (size_t i = 0; i < records.size(); previous = records[i++].signatureId) {
      const PolicyRecord& record = records[i];
      if ((record.level & 0xFF) >= 5 || record.signatureId <= previous) return STATUS_NOT_SUPPORTED;
      for (ULONG r = 0; r < kSignatureRows; ++r) {
        if (b.rows[r].id != record.signatureId) continue;
        b.rows[r].levelWord = record.level, b.rows[r].flag = record.policyFlag;
        b.map[i] = r + 1, ++matched;
        Log(true, 2, "Signature Id %u, Function %u, Level %u\n", b.rows[r].id, r,
            b.rows[r].Level());
      }
      if (b.map[i] == 0) Log(true, 2, "Unsupported signature %u\n", record.signatureId);
    }
    const auto enabled =
        std::count_if(b.rows, b.rows + kSignatureRows, [](const Row& r) { return r.Level() != 0; });
    Log(true, 2, "Applied signature policy: %u functions, %u matched, %u enabled.\n", 48, matched,
        static_cast<ULONG>(enabled));
    policySet_ = true;
    return STATUS_SUCCESS;
  }

  NTSTATUS Enforce() {
    if (!headerSet_ || !policySet_) return STATUS_ILLEGAL_FUNCTION;
    for (Row& row : pending_.rows) {
      row.reaction = row.Level() == 0 ? 0 : pending_.header.levelReaction[row.Level() - 1];
      const ULONG flag = row.flag != 0 ? 1 : 0;
      row.actionFlags = row.reaction == 2 ? flag : row.reaction == 3 ? 2 + flag : 0;
    }
    std::swap(active_, pending_);
    headerSet_ = policySet_ = false;
    Log(true, 2, "Enforced new configuration.\n");
    return STATUS_SUCCESS;
  }

  LONG Inspect(const Packet& packet) {
    const ULONG packetMask = packet.protocol == 6 ? 1 : packet.protocol == 17 ? 2 : 4;
    const ULONG* words = packet.sigmask;
    if (packet.hasSigmask) {
      Log(false, 1, "Sigmask (16 bytes) %x %x %x %x\n", words[0], words[1], words[2], words[3]);
    } else {
      static const ULONG kAll[kSigmaskWords] = {~0u, ~0u, ~0u, ~0u};
      words = kAll;
      Log(false, 1, "No sigmask (check all sigs)\n");
    }
    const Bank& bank = active_;
    order.clear(), calls.clear();
    ULONG reaction = 0, actionFlags = 0, severity = 0, id = 0, evidence = 0, evidenceRow = 0;
    for (ULONG p = 1; p <= 128; ++p) {
      if ((words[(p - 1) / 32] >> ((p - 1) % 32) & 1) == 0) continue;
      if (p > bank.count) break;
      const ULONG row = bank.map[p - 1] - 1;
      if (row >= kSignatureRows) {
        Log(true, 2, "Invalid signature function index: 0x%x\n", row);
        continue;
      }
      const Row& r = bank.rows[row];
      if (r.Level() == 0 || (r.protocolMask & packetMask) == 0 || r.reaction <= reaction ||
          !r.detector) {
        continue;
      }
      Log(false, 1, "[%02u] Sig %u\n", p - 1, r.id);
      order.push_back(row);
      if (packet.evidence[row]) evidence = ring_ + 1, evidenceRow = row, ring_ = (ring_ + 1) % 128;
      if (packet.result[row] == 2) {
        reaction = r.reaction, actionFlags = r.actionFlags, severity = r.Level(), id = r.id;
      } else if (packet.result[row] == 1) {
        Log(true, 16, "Error checking packet: 0x%x\n", 0x80000002u);
        return static_cast<LONG>(0x80000002u);
      }
    }
    if (actionFlags == 0) {
      calls = {0, 1, 0, 0, 0, 1, 0, 0, 0, 0};
      return 0;
    }
    const ULONG action = (actionFlags & 2) == 0 ? 1 : bank.header.blockHost != 0 ? 7 : 5;
    calls = {0, action, 0, bank.header.actionParam, 2, 1, id, severity, reaction, evidence};
    Log(false, 4, "Detect sig %u, severity %u, reaction %u -> %s\n", id, severity, reaction,
        action == 7   ? "Block Host"
        : action == 5 ? "Block Packet"
                      : "Allow");
    if (evidence != 0) Log(false, 1, "Buffer content %s\n", EvidenceOf(evidenceRow).c_str());
    return 0;
  }

 private:
  __attribute__((format(printf, 4, 5))) void Log(bool flagged, ULONG category, const char* format,
                                                 ...) {
    if ((logMask & category) == 0) return;
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log.emplace_back(category, flagged ? 0x40 : 0x20, std::string(text).substr(0, 78));
  }

  Row builtIn_[kSignatureRows];
  Bank active_{}, pending_{};
  bool headerSet_ = false, policySet_ = false;
  ULONG ring_ = 0;  // the evidence ring's next slot, 0-based
};

// Ascending ids, most of them the table's, some unknown; levels 0..4 under
// random high bytes; now and then a refused record or too many records.
std::vector<PolicyRecord> RandomPolicy(Random& random, const SignatureTable& table) {
  std::vector<ULONG> ids;
  for (const SignatureEntry& row : table.rows) {
    if (random(4) != 0) ids.push_back(row.signatureId);
  }
  for (ULONG n = random(random(3) == 0 ? 30 : 12); n > 0; --n) ids.push_back(1 + random(7000));
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  if (ids.size() > kPolicyMaxRecords && random(2) != 0) ids.resize(kPolicyMaxRecords);
  std::vector<PolicyRecord> records;
  for (ULONG id : ids) {
    const ULONG high = random(4) == 0 ? random.Word() & ~0xFFu : 0;
    const ULONG level = high | random(5);
    records.push_back(Record(id, level, random(3)));
  }
  if (!records.empty() && random(8) == 0) {
    const size_t i = random(records.size());
    if (random(2) != 0) {
      records[i].level = (records[i].level & ~0xFFu) | (5 + random(251));
    } else {
      records[i].signatureId = i == 0 ? 0 : records[i - 1].signatureId - random(2);
    }
  }
  return records;
}

Packet RandomPacket(Random& random) {
  static const UCHAR kProtocols[] = {6, 17, 1, 58};
  Packet packet{kProtocols[random(4)], random(4) != 0, {}, {}, {}};
  for (ULONG& word : packet.sigmask) {
    const ULONG a = random.Word(), b = random.Word();
    word = random(3) == 0 ? a | b : random(2) == 0 ? a & b : a;
  }
  for (ULONG r = 0; r < kSignatureRows; ++r) {
    const ULONG dice = random(40);  // mostly no match, some matches, few errors and others
    packet.result[r] = dice < 26 ? 0 : dice < 37 ? 2 : dice < 38 ? 1 : 3 + random(100);
    packet.evidence[r] = random(5) == 0;
  }
  return packet;
}

// Request 6 into one reused 32 KiB user buffer: enough for the longest walk or
// pair of policies, and a fresh queue-sized buffer per drain would make this
// the slowest test under the address sanitizer.
std::vector<Line> EngineLog(NipsPlugin* plugin) {
  static std::vector<uint8_t> user(0x8000);
  ULONG64 request[2] = {reinterpret_cast<ULONG64>(user.data()), user.size()};
  ULONG64 reply[2] = {}, returned = 0;
  std::vector<testlib::LogRecord> records;
  if (testlib::LogReadable(plugin)) {
    EXPECT_EQ(
        plugin->Control(kControlDrainLog, request, sizeof request, reply, sizeof reply, &returned),
        STATUS_SUCCESS);
    EXPECT_TRUE(
        testlib::DecodeNimq(user.data(), std::min<ULONG64>(reply[1], user.size()), &records));
  }
  std::vector<Line> lines;
  for (const testlib::LogRecord& r : records) {
    lines.emplace_back(r.category, r.kind, r.overflow ? "<overflow>" : r.Narrow());
  }
  return lines;
}

std::vector<ULONG64> SinkCalls(const FakePacket& packet) {
  std::vector<ULONG64> calls;
  for (const testlib::SinkCall& c : packet.calls()) {
    const auto& v = c.verdict;
    const auto& r = c.report;
    calls.insert(
        calls.end(),
        c.kind == testlib::SinkCall::kSetVerdict
            ? std::initializer_list<ULONG64>{0, v.action, v.zero, v.actionParameter, v.kind}
            : std::initializer_list<ULONG64>{1, r.signatureId, r.severity, r.reaction,
                                             r.additionalDataIndex});
  }
  return calls;
}

class DispatchModelTest : public EngineTest {
 protected:
  void TearDown() override {
    Script().Reset();  // the hook refers to this test's packet
    EngineTest::TearDown();
  }
};

TEST_F(DispatchModelTest, EngineAgreesWithTheReferenceWalk) {
  Random random;
  Packet packet{};
  // Scripted detectors answer as the packet says; some leave evidence.
  Script().hook = [&packet](ULONG row, PacketView* view) {
    if (packet.evidence[row]) {
      const std::string text = EvidenceOf(row);
      std::copy(text.begin(), text.end() + 1, ReserveAdditionalData(&view->additionalDataIndex));
    }
    return packet.result[row];
  };
  for (ULONG t = 0; t < 12; ++t) {
    plugin_.reset();
    table_ = testlib::ScriptedTable();
    for (SignatureEntry& row : table_.rows) {
      if (random(6) == 0) row.detector = nullptr;
      if (random(4) == 0) row.protocolMask = random(8);
    }
    plugin_.emplace(table_);
    ASSERT_TRUE(plugin()->Start());
    Model model(table_);
    for (ULONG c = 0; c < 10; ++c) {
      SCOPED_TRACE(testing::Message() << "table " << t << " cycle " << c);
      const ULONG masks[] = {0x1F, 0x1E, kDefaultLogMask, random(32)};
      model.logMask = masks[random(4)];
      ASSERT_EQ(testlib::SendLogMask(plugin(), model.logMask), STATUS_SUCCESS);
      if (random(5) != 0) {
        BankHeader header{};
        header.blockHost = random(2) == 0 ? 0 : random(2) == 0 ? 1 : random.Word();
        header.reserved = random.Word();
        header.actionParam = ULONG64(random.Word()) << 32;
        header.actionParam |= random.Word();
        for (ULONG& reaction : header.levelReaction) reaction = random(8);
        model.SetHeader(header);
        ASSERT_EQ(testlib::SendHeader(plugin(), header), STATUS_SUCCESS);
      }
      for (ULONG n = 1 + random(2); n > 0; --n) {
        const std::vector<PolicyRecord> policy = RandomPolicy(random, table_);
        ASSERT_EQ(testlib::SendPolicy(plugin(), policy), model.Apply(policy));
      }
      if (random(6) != 0) {
        ASSERT_EQ(testlib::SendEnforce(plugin()), model.Enforce());
      }
      ASSERT_EQ(EngineLog(plugin()), model.log);
      model.log.clear();
      for (ULONG p = 0; p < 16; ++p) {
        SCOPED_TRACE(testing::Message() << "packet " << p);
        packet = RandomPacket(random);
        auto fake = TcpPacket();
        fake->SetProtocol(packet.protocol);
        const ULONG* m = packet.sigmask;
        if (packet.hasSigmask) fake->SetSigMask(m[0], m[1], m[2], m[3]);
        Script().order.clear();
        ASSERT_EQ(plugin()->InspectPacket(fake.get()), model.Inspect(packet));
        ASSERT_EQ(Script().order, model.order);
        ASSERT_EQ(SinkCalls(*fake), model.calls);
        ASSERT_EQ(EngineLog(plugin()), model.log);
        model.log.clear();
      }
    }
  }
}

}  // namespace
}  // namespace enginetest
