// The ports the detectors look at (host byte order), and the classes the
// dispatcher sorts a packet's ports into before it calls any detector.
// Callable at any IRQL.
#pragma once

#include <ntddk.h>

constexpr USHORT kPortFtpControl = 21;
constexpr USHORT kPortSsh = 22;
constexpr USHORT kPortDns = 53;
constexpr USHORT kPortHttp = 80;
constexpr USHORT kPortRpcEndpointMapper = 135;
constexpr USHORT kPortNetbiosSession = 139;
constexpr USHORT kPortTls = 443;
constexpr USHORT kPortSmbDirect = 445;
constexpr USHORT kPortSqlResolution = 1434;
constexpr USHORT kPortPptp = 1723;
constexpr USHORT kPortUpnpDeviceHost = 2869;
constexpr USHORT kPortRdp = 3389;
constexpr USHORT kPortLlmnr = 5355;
constexpr USHORT kPortWsmanFirst = 16992;
constexpr USHORT kPortWsmanLast = 16995;
constexpr USHORT kDynamicPortFirst = 49152;

// Every port a detector tests falls in exactly one class; all other ports
// are kPortClassOther. A class is a bit in a PortGate's masks.
enum PortClass : UCHAR {
  kPortClassOther = 0,
  kPortClassFtpControl,
  kPortClassSsh,
  kPortClassDns,
  kPortClassRpcEndpointMapper,
  kPortClassNetbiosSession,
  kPortClassTls,
  kPortClassSmbDirect,
  kPortClassSqlResolution,
  kPortClassPptp,
  kPortClassUpnpDeviceHost,
  kPortClassRdp,
  kPortClassLlmnr,
  kPortClassWsman,    // kPortWsmanFirst .. kPortWsmanLast
  kPortClassDynamic,  // kDynamicPortFirst and above
  kPortClassCount
};

inline PortClass PortClassOf(USHORT port) {
  switch (port) {
    case kPortFtpControl:
      return kPortClassFtpControl;
    case kPortSsh:
      return kPortClassSsh;
    case kPortDns:
      return kPortClassDns;
    case kPortRpcEndpointMapper:
      return kPortClassRpcEndpointMapper;
    case kPortNetbiosSession:
      return kPortClassNetbiosSession;
    case kPortTls:
      return kPortClassTls;
    case kPortSmbDirect:
      return kPortClassSmbDirect;
    case kPortSqlResolution:
      return kPortClassSqlResolution;
    case kPortPptp:
      return kPortClassPptp;
    case kPortUpnpDeviceHost:
      return kPortClassUpnpDeviceHost;
    case kPortRdp:
      return kPortClassRdp;
    case kPortLlmnr:
      return kPortClassLlmnr;
    default:
      break;
  }
  if (port >= kPortWsmanFirst && port <= kPortWsmanLast) return kPortClassWsman;
  if (port >= kDynamicPortFirst) return kPortClassDynamic;
  return kPortClassOther;
}

// Which packets a detector can act on at all, by their ports: a detector
// whose gate a packet fails returns no match without reading or touching
// anything, so the dispatcher may leave the call out. Masks hold bits
// (1 << PortClass); anyPort gates nothing.
struct PortGate {
  bool anyPort;
  ULONG destinationClasses;
  ULONG sourceClasses;
};
