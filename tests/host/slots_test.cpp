// The core's objects are tables of virtual functions called by slot number:
// a declaration that shifts a slot breaks the interface silently, so each
// slot the driver uses or implements is pinned here.
#include <gtest/gtest.h>

#include <cstring>

#include "nips/host/firewall.h"
#include "nips/host/loader.h"

namespace {

// Under the Itanium C++ ABI a pointer to a virtual member function holds
// 1 + the byte offset of its slot in the table.
template <typename Method>
long SlotOf(Method method) {
  static_assert(sizeof(Method) == 2 * sizeof(void*));
  uintptr_t words[2];
  std::memcpy(words, &method, sizeof words);
  EXPECT_EQ(words[0] & 1, 1u) << "not a virtual function";
  return static_cast<long>((words[0] - 1) / sizeof(void*));
}

TEST(HostSlots, FirewallCoreObjects) {
  EXPECT_EQ(SlotOf(&HostPacket::GetFlow), 0);
  EXPECT_EQ(SlotOf(&HostPacket::GetPacketData), 1);
  EXPECT_EQ(SlotOf(&HostPacket::GetApplication), 2);
  EXPECT_EQ(SlotOf(&HostPacket::GetAdapter), 3);
  EXPECT_EQ(SlotOf(&HostPacket::GetBuffer), 4);
  EXPECT_EQ(SlotOf(&HostPacket::GetVerdictSink), 5);
  EXPECT_EQ(SlotOf(&HostPacket::GetSigMask), 7);

  EXPECT_EQ(SlotOf(&HostFlow::GetDestinationAddress), 0);
  EXPECT_EQ(SlotOf(&HostFlow::GetSourceAddress), 1);
  EXPECT_EQ(SlotOf(&HostFlow::GetProtocol), 4);
  EXPECT_EQ(SlotOf(&HostFlow::GetDestinationPort), 5);
  EXPECT_EQ(SlotOf(&HostFlow::GetSourcePort), 6);
  EXPECT_EQ(SlotOf(&HostFlow::GetPortA), 7);
  EXPECT_EQ(SlotOf(&HostFlow::GetPortB), 8);

  EXPECT_EQ(SlotOf(&HostPacketData::GetNetworkProtocol), 4);
  EXPECT_EQ(SlotOf(&HostPacketData::GetIpHeader), 5);
  EXPECT_EQ(SlotOf(&HostPacketData::GetTransportHeader), 6);
  EXPECT_EQ(SlotOf(&HostPacketData::GetTcpFlags), 8);
  EXPECT_EQ(SlotOf(&HostPacketData::GetPayload), 9);

  EXPECT_EQ(SlotOf(&HostAdapter::GetIndex), 0);
  EXPECT_EQ(SlotOf(&HostBuffer::Prepare), 0);
  EXPECT_EQ(SlotOf(&HostBuffer::GetLength), 2);
  EXPECT_EQ(SlotOf(&HostApplication::GetImagePath), 0);
  EXPECT_EQ(SlotOf(&HostApplication::GetProcessId), 5);
  EXPECT_EQ(SlotOf(&HostVerdictSink::SetVerdict), 0);
  EXPECT_EQ(SlotOf(&HostVerdictSink::ReportIntrusion), 3);

  EXPECT_EQ(SlotOf(&HostPluginBase::InspectPacket), 0);
  EXPECT_EQ(SlotOf(&HostPluginBase::GetPolicyType), 1);
  EXPECT_EQ(SlotOf(&HostPluginBase::GetPluginId), 2);
}

TEST(HostSlots, LoaderAndRegistryObjects) {
  EXPECT_EQ(SlotOf(&ContentDriver::AddRef), 0);
  EXPECT_EQ(SlotOf(&ContentDriver::Release), 1);
  EXPECT_EQ(SlotOf(&ContentDriver::PrepareUnload), 2);
  EXPECT_EQ(SlotOf(&ContentDriver::Control), 3);
  EXPECT_EQ(SlotOf(&ContentDriver::UnsupportedRequest), 4);
  EXPECT_EQ(SlotOf(&ContentDriver::IgnoredNotification), 5);
  EXPECT_EQ(SlotOf(&ContentDriverHost::RegisterContentDriver), 0);
  EXPECT_EQ(SlotOf(&ServiceClient::OnDetach), 0);
  EXPECT_EQ(SlotOf(&ServiceClient::OnInterfaceNotify), 1);
  EXPECT_EQ(SlotOf(&ServiceClient::OnAttach), 2);
  EXPECT_EQ(SlotOf(&ServiceConnection::Unregister), 0);
  EXPECT_EQ(SlotOf(&ServiceConnection::AttachInterface), 1);
  EXPECT_EQ(SlotOf(&ServiceConnection::DetachInterface), 2);
}

// The base fields that belong to the core's side keep their initial values.
class ProbePlugin final : public HostPluginBase {
 public:
  ProbePlugin() : HostPluginBase(GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}) {}
  LONG InspectPacket(HostPacket*) override { return 0; }
  ULONG GetPolicyType() override { return FW_POLICY_TYPE_PACKET; }
};

TEST(HostSlots, PluginBaseLayout) {
  ProbePlugin plugin;
  const auto* bytes = reinterpret_cast<const UCHAR*>(&plugin);
  // table pointer, 16-byte id, two pointer-sized words 0, then u32 1.
  EXPECT_EQ(plugin.GetPluginId(), reinterpret_cast<const GUID*>(bytes + 8));
  EXPECT_EQ(plugin.GetPluginId()->Data1, 1u);
  uint64_t word0, word1;
  uint32_t word2;
  std::memcpy(&word0, bytes + 24, 8);
  std::memcpy(&word1, bytes + 32, 8);
  std::memcpy(&word2, bytes + 40, 4);
  EXPECT_EQ(word0, 0u);
  EXPECT_EQ(word1, 0u);
  EXPECT_EQ(word2, 1u);
}

}  // namespace
