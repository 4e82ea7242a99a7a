// The per-packet view: the core's objects of one packet, gathered on the
// inspecting thread's stack and handed by pointer to every detector.
#pragma once

#include <ntddk.h>

#include "nips/host/firewall.h"

class NipsPlugin;
struct ConfigBank;

// Largest transport payload the detectors accept.
constexpr ULONG64 kMaxInspectedPayload = 1460;

struct PacketView {
  NipsPlugin* plugin;  // for logging
  HostPacket* packet;
  HostFlow* flow;
  HostPacketData* data;
  HostAdapter* adapter;
  HostBuffer* buffer;
  ULONG additionalDataIndex;  // 0, or the 1-based evidence slot a detector filled
  // The configuration bank this packet's dispatch took; set by the
  // dispatcher, valid only while the detectors run. Detectors do not need it.
  const ConfigBank* bank;
};

// IRQL: <= DISPATCH_LEVEL. Fetches the core's objects into the view (plugin
// and packet set, the rest zero) and checks that the detectors can handle the
// packet; each refusal logs one line. True when the packet may be dispatched.
bool BuildPacketView(PacketView* view);
