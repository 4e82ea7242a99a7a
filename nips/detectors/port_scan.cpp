// Port-scan detectors: per source address, a short list of the destination
// ports it touched recently (newest first) in its host record; a match when
// the list reaches the threshold inside the window. A match drops the whole
// record so the source starts counting afresh. The payload is never read.
#include "nips/detectors/detectors.h"
#include "nips/detectors/ports.h"
#include "nips/detectors/smb_common.h"
#include "nips/engine/signature.h"

namespace {

constexpr USHORT kHighPortFirst = 1024;
// Of the packets to high ports of one source, one in every 21 is tracked.
constexpr USHORT kHighPortPacketsPassedOver = 20;

constexpr ULONG kTcpScanWindowMs = 60000;
constexpr ULONG kTcpScanThreshold = 20;
constexpr ULONG kUdpScanWindowMs = 200000;
constexpr ULONG kUdpScanThreshold = 100;

// Replies from these services reach many client ports of one host.
constexpr USHORT kUdpPortSnmp = 161;

// The scan fields of one protocol inside a host record.
struct ScanFields {
  ULONG* count;
  USHORT* highPortSkip;
  PortItem** head;
};

struct ScanParameters {
  ULONG windowMs;
  ULONG threshold;
};

void FreePortList(PortItem* item) {
  while (item != nullptr) {
    PortItem* next = item->next;
    FreePortItem(item);
    item = next;
  }
}

// Records one probe of port; caller holds the record's lock. Only
// AllocPortItem and FreePortItem are called here, neither takes a lock.
ULONG TrackPortLocked(const ScanFields& fields, const ScanParameters& parameters, USHORT port,
                      ULONG now) {
  if (port >= kHighPortFirst) {
    if (*fields.highPortSkip < kHighPortPacketsPassedOver) {
      ++*fields.highPortSkip;
      return kDetectNoMatch;
    }
    *fields.highPortSkip = 0;
  }

  PortItem* found = nullptr;
  PortItem** link = fields.head;
  while (*link != nullptr) {
    PortItem* item = *link;
    if (StampAgeMs(now, item->lastSeen) > parameters.windowMs) {
      // The list is newest first: this item and all after it have expired.
      *link = nullptr;
      while (item != nullptr) {
        PortItem* next = item->next;
        FreePortItem(item);
        --*fields.count;
        item = next;
      }
      break;
    }
    if (item->port == port) {
      *link = item->next;
      item->lastSeen = now;
      found = item;
      break;
    }
    link = &item->next;
  }

  if (found == nullptr) {
    found = AllocPortItem();
    if (found == nullptr) return kDetectError;
    found->lastSeen = now;
    found->port = port;
    ++*fields.count;
  }
  found->next = *fields.head;
  *fields.head = found;

  if (*fields.count >= parameters.threshold) {
    *fields.count = 0;
    FreePortList(*fields.head);
    *fields.head = nullptr;
    return kDetectMatch;
  }
  return kDetectNoMatch;
}

// Steps after the record is held: lock, track, unlock, then the table
// operations (which take the host-table lock) with the record lock released.
ULONG TrackAndRelease(HostRecord* record, const ScanFields& fields,
                      const ScanParameters& parameters, USHORT port) {
  ULONG now = CurrentStampMs();
  LockHostRecord(record);
  ULONG result = TrackPortLocked(fields, parameters, port, now);
  UnlockHostRecord(record);
  if (result == kDetectMatch) RemoveHostRecord(record);
  ReleaseHostRecord(record);
  return result;
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectTcpPortScan(PacketView* view) {
  UCHAR flags = view->data->GetTcpFlags();
  if ((flags & (kTcpFlagSyn | kTcpFlagFin)) == 0) return kDetectNoMatch;
  if ((flags & (kTcpFlagRst | kTcpFlagAck)) != 0) return kDetectNoMatch;

  HostRecord* record;
  if (!detector::AcquireSourceRecord(view, &record)) return kDetectError;
  ScanFields fields = {&record->tcpScanPortCount, &record->tcpScanHighPortSkip,
                       &record->tcpScanPorts};
  return TrackAndRelease(record, fields, {kTcpScanWindowMs, kTcpScanThreshold},
                         detector::DestinationPort(view));
}

// IRQL: <= DISPATCH_LEVEL. Empty UDP payloads count like any other.
ULONG DetectUdpPortScan(PacketView* view) {
  HostRecord* record;
  if (!detector::AcquireSourceRecord(view, &record)) return kDetectError;
  USHORT sourcePort = detector::SourcePort(view);
  if (sourcePort == kPortDns || sourcePort == kUdpPortSnmp) {
    ReleaseHostRecord(record);
    return kDetectNoMatch;
  }
  ScanFields fields = {&record->udpScanPortCount, &record->udpScanHighPortSkip,
                       &record->udpScanPorts};
  return TrackAndRelease(record, fields, {kUdpScanWindowMs, kUdpScanThreshold},
                         detector::DestinationPort(view));
}
