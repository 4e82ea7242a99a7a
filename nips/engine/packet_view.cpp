#include "nips/engine/packet_view.h"

#include "nips/engine/bytes.h"
#include "nips/engine/log.h"
#include "nips/engine/plugin.h"

bool BuildPacketView(PacketView* view) {
  NipsPlugin* plugin = view->plugin;
  HostPacket* packet = view->packet;
  view->flow = packet->GetFlow();
  view->data = packet->GetPacketData();
  view->adapter = packet->GetAdapter();
  view->buffer = packet->GetBuffer();
  if (view->flow == nullptr || view->data == nullptr || view->adapter == nullptr ||
      view->buffer == nullptr) {
    NipsLog(plugin, true, kLogError, "Unexpected null packet interface\n");
    return false;
  }

  const UCHAR protocol = view->flow->GetProtocol();
  if (protocol == kIpProtocolTcp || protocol == kIpProtocolUdp) {
    if (view->flow->GetPortA() == 0 || view->flow->GetPortB() == 0) {
      NipsLog(plugin, true, kLogInfo, "Unexpected port 0\n");
      return false;
    }
  }
  if (view->adapter->GetIndex() == kAdapterIndexLoopback) {
    NipsLog(plugin, false, kLogInfo, "Ignore potential loopback (-1) packet\n");
    return false;
  }
  const USHORT network = view->data->GetNetworkProtocol();
  if (network != kNetworkProtocolIpv6 && network != kNetworkProtocolIpv4) {
    NipsLog(plugin, true, kLogError, "Unexpected non-ip network layer protocol\n");
    return false;
  }

  ULONG64 length = 0;
  if (view->data->GetIpHeader(&length) == nullptr) {
    NipsLog(plugin, true, kLogMalformed, "Unexpected IP header\n");
    return false;
  }
  if (length == 0) {
    NipsLog(plugin, true, kLogMalformed, "Unexpected IP header size\n");
    return false;
  }
  if (protocol != kIpProtocolTcp && protocol != kIpProtocolUdp && protocol != kIpProtocolIcmp &&
      protocol != kIpProtocolIcmpv6) {
    NipsLog(plugin, true, kLogError, "Unexpected protocol\n");
    return false;
  }
  length = 0;
  if (view->data->GetTransportHeader(&length) == nullptr) {
    NipsLog(plugin, true, kLogMalformed, "Unexpected transport header\n");
    return false;
  }
  if (length == 0) {
    NipsLog(plugin, true, kLogMalformed, "Unexpected transport header size\n");
    return false;
  }

  view->buffer->Prepare();
  if (view->buffer->GetLength() == 0) {
    NipsLog(plugin, false, kLogInfo, "Empty payload\n");
    return false;
  }
  const ULONG64 payloadLength = GetPayloadLength(view);
  if (payloadLength > kMaxInspectedPayload) {
    NipsLog(plugin, false, kLogInfo, "Unexpected large transport payload: 0x%I64x (bug 579380)\n",
            payloadLength);
    return false;
  }
  if (protocol == kIpProtocolUdp && payloadLength == 0) {
    // The UDP scan detector counts empty probes.
    NipsLog(plugin, false, kLogInfo, "Allowing Empty UDP payload for UDP port scan\n");
  }
  return true;
}
