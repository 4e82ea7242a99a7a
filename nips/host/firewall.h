// The firewall core's per-packet objects as the plug-in sees them. They are
// the core's: the plug-in calls only the slots named here and never owns or
// releases them. Slot order is part of the interface; the Reserved slots hold
// the places of the core's slots that the plug-in never calls.
#pragma once

#include <ntddk.h>

// Address as the core hands it out: IPv4 in the first four bytes.
struct HostAddress {
  UCHAR bytes[16];
  ULONG version;  // 4 or 6
};
static_assert(sizeof(HostAddress) == 20, "HostAddress is 16 address bytes and a u32 version");
static_assert(offsetof(HostAddress, version) == 16, "version follows the address bytes");

enum FwAction : ULONG {
  FW_ACTION_INVALID = 0,
  FW_ACTION_ALLOW = 1,
  FW_ACTION_ASK_POINT_PRODUCT = 2,
  FW_ACTION_REDIRECT = 3,
  FW_ACTION_ABSORB = 4,
  FW_ACTION_BLOCK_PACKET = 5,
  FW_ACTION_BLOCK_AND_RESET_CONNECTION = 6,
  FW_ACTION_BLOCK_HOST = 7,
  FW_ACTION_CONTINUE = 8,
  FW_ACTION_JUMP = 9,
  FW_ACTION_CALL_PLUGIN = 10,
};

enum FwPolicyType : ULONG {
  FW_POLICY_TYPE_INVALID = 0,
  FW_POLICY_TYPE_FRAGMENT = 1,
  FW_POLICY_TYPE_PACKET = 2,
  FW_POLICY_TYPE_FORWARD = 3,
  FW_POLICY_TYPE_STREAM = 4,
};

constexpr USHORT kNetworkProtocolIpv4 = 0x0800;
constexpr USHORT kNetworkProtocolIpv6 = 0x86DD;

constexpr UCHAR kIpProtocolIcmp = 1;
constexpr UCHAR kIpProtocolTcp = 6;
constexpr UCHAR kIpProtocolUdp = 17;
constexpr UCHAR kIpProtocolIcmpv6 = 58;

constexpr UCHAR kTcpFlagFin = 0x01;
constexpr UCHAR kTcpFlagSyn = 0x02;
constexpr UCHAR kTcpFlagRst = 0x04;
constexpr UCHAR kTcpFlagAck = 0x10;

constexpr ULONG kAdapterIndexLoopback = 0xFFFFFFFF;
constexpr ULONG64 kNoProcessId = ~0ULL;

class HostFlow {
 public:
  virtual const HostAddress* GetDestinationAddress() = 0;  // 0
  virtual const HostAddress* GetSourceAddress() = 0;       // 1
  virtual void Reserved2() = 0;                            // 2
  virtual void Reserved3() = 0;                            // 3
  virtual UCHAR GetProtocol() = 0;                         // 4
  virtual USHORT GetDestinationPort() = 0;                 // 5, network byte order
  virtual USHORT GetSourcePort() = 0;                      // 6, network byte order
  virtual USHORT GetPortA() = 0;                           // 7, tested only for zero
  virtual USHORT GetPortB() = 0;                           // 8, tested only for zero
};

class HostPacketData {
 public:
  virtual void Reserved0() = 0;                                  // 0
  virtual void Reserved1() = 0;                                  // 1
  virtual void Reserved2() = 0;                                  // 2
  virtual void Reserved3() = 0;                                  // 3
  virtual USHORT GetNetworkProtocol() = 0;                       // 4
  virtual const UCHAR* GetIpHeader(ULONG64* length) = 0;         // 5
  virtual const UCHAR* GetTransportHeader(ULONG64* length) = 0;  // 6
  virtual void Reserved7() = 0;                                  // 7
  virtual UCHAR GetTcpFlags() = 0;                               // 8
  // The incoming value of *length carries no meaning.
  virtual const UCHAR* GetPayload(ULONG64* length) = 0;  // 9
};

class HostAdapter {
 public:
  virtual ULONG GetIndex() = 0;  // 0; kAdapterIndexLoopback marks potential loopback
};

class HostBuffer {
 public:
  virtual void Prepare() = 0;       // 0; result ignored
  virtual void Reserved1() = 0;     // 1
  virtual ULONG64 GetLength() = 0;  // 2
};

class HostApplication {
 public:
  virtual const WCHAR* GetImagePath(ULONG64* length) = 0;  // 0; not terminated
  virtual void Reserved1() = 0;                            // 1
  virtual void Reserved2() = 0;                            // 2
  virtual void Reserved3() = 0;                            // 3
  virtual void Reserved4() = 0;                            // 4
  virtual ULONG64 GetProcessId() = 0;                      // 5; kNoProcessId when unknown
};

class HostVerdictSink {
 public:
  virtual void SetVerdict(ULONG action, ULONG zero, ULONG64 actionParameter, ULONG kind) = 0;  // 0
  virtual void Reserved1() = 0;                                                                // 1
  virtual void Reserved2() = 0;                                                                // 2
  virtual void ReportIntrusion(ULONG signatureId, ULONG severity, ULONG reaction,
                               ULONG additionalDataIndex) = 0;  // 3
};

class HostPacket {
 public:
  virtual HostFlow* GetFlow() = 0;                // 0
  virtual HostPacketData* GetPacketData() = 0;    // 1
  virtual HostApplication* GetApplication() = 0;  // 2
  virtual HostAdapter* GetAdapter() = 0;          // 3
  virtual HostBuffer* GetBuffer() = 0;            // 4
  virtual HostVerdictSink* GetVerdictSink() = 0;  // 5
  virtual void Reserved6() = 0;                   // 6
  virtual const ULONG* GetSigMask() = 0;          // 7; four words, or null
};

// The core's plug-in base: table, id, then three words that belong to the
// core's side of the object (two pointer-sized words 0 and a u32 1).
class HostPluginBase {
 public:
  explicit HostPluginBase(const GUID& pluginId)
      : pluginId_(pluginId), coreWord0_(0), coreWord1_(0), coreWord2_(1) {}

  virtual LONG InspectPacket(HostPacket* packet) = 0;       // 0
  virtual ULONG GetPolicyType() = 0;                        // 1
  virtual const GUID* GetPluginId() { return &pluginId_; }  // 2

 protected:
  ~HostPluginBase() = default;

 private:
  GUID pluginId_;
  // Read only by the core, never by the plug-in.
  [[maybe_unused]] ULONG_PTR coreWord0_;
  [[maybe_unused]] ULONG_PTR coreWord1_;
  [[maybe_unused]] ULONG coreWord2_;
};
