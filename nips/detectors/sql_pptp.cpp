// Requests to the SQL Server resolution service that are too long or lack
// the instance separator, and PPTP start-control-connection requests whose
// length field disagrees with the segment.
#include "nips/detectors/detector_common.h"
#include "nips/detectors/detectors.h"
#include "nips/detectors/ports.h"
#include "nips/detectors/text_common.h"
#include "nips/engine/signature.h"

namespace {

// SQL Server resolution service.
constexpr ULONG64 kRequestTypeOffset = 0;
constexpr UCHAR kRequestType4 = 4;
constexpr UCHAR kRequestType8 = 8;
constexpr ULONG64 kRequestLengthLimit = 300;  // longer requests match
constexpr UCHAR kInstanceSeparator = ':';
// Only the server itself is judged when the core knows the receiving process.
constexpr WCHAR kServerImage[] = NTTEXT("sqlservr.exe");
constexpr ULONG64 kServerImageLength = sizeof(kServerImage) / sizeof(WCHAR) - 1;
constexpr WCHAR kPathSeparator = NTTEXT('\\');

// PPTP control message.
constexpr ULONG64 kPptpMinimumLength = 156;
constexpr ULONG64 kPptpLengthOffset = 0;
constexpr ULONG64 kPptpMessageTypeOffset = 2;
constexpr USHORT kPptpControlMessage = 1;
constexpr ULONG64 kPptpControlTypeOffset = 8;
constexpr USHORT kPptpStartControlConnectionRequest = 1;

// False when the core names the receiving process and its file name does not
// begin with the server's image name. An unknown process (id all ones, or no
// path) is examined. Reads only the path's given characters.
bool ApplicationMayBeServer(PacketView* view) {
  HostApplication* application = view->packet->GetApplication();
  if (application == nullptr) return true;  // nothing known of the process
  ULONG64 length = 0;
  const WCHAR* path = application->GetImagePath(&length);
  if (application->GetProcessId() == kNoProcessId || path == nullptr || length == 0) return true;
  ULONG64 nameStart = 0;
  for (ULONG64 i = 0; i < length; ++i) {
    if (path[i] == kPathSeparator) nameStart = i + 1;
  }
  if (length - nameStart < kServerImageLength) return false;
  return _wcsnicmp(path + nameStart, kServerImage, kServerImageLength) == 0;
}

// Takes the source's record out of the store, if it has one.
void DropSourceRecord(const HostAddress* source) {
  HostRecord* record = FindHostRecord(source);
  if (record == nullptr) return;
  RemoveHostRecord(record);
  ReleaseHostRecord(record);
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL. A match also drops the source's host record, so
// every count kept for that source starts afresh; no record is created.
ULONG DetectSqlResolutionLongRequest(PacketView* view) {
  if (detector::DestinationPort(view) != kPortSqlResolution) return kDetectNoMatch;
  if (!ApplicationMayBeServer(view)) return kDetectNoMatch;
  const HostAddress* source = view->flow->GetSourceAddress();
  ByteView payload;
  UCHAR type;
  if (!GetPayloadView(view, &payload) || !ReadU8(payload, kRequestTypeOffset, &type)) {
    return kDetectNoMatch;
  }
  bool matched = false;
  if (type == kRequestType4 && payload.length > kRequestLengthLimit) matched = true;
  if (type == kRequestType8) {
    ULONG64 colon;
    if (payload.length > kRequestLengthLimit ||
        !detector::FindByte(payload, kRequestTypeOffset + 1, kInstanceSeparator, &colon)) {
      matched = true;
    }
  }
  if (!matched) return kDetectNoMatch;
  DropSourceRecord(source);
  return kDetectMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectPptpStartRequestLengthMismatch(PacketView* view) {
  if (detector::DestinationPort(view) != kPortPptp) return kDetectNoMatch;
  const ULONG64 learned = detector::PayloadLength(view);
  if (learned < kPptpMinimumLength) return kDetectNoMatch;
  ByteView payload;
  if (!detector::PayloadWithLength(view, learned, &payload)) return kDetectNoMatch;
  USHORT declared, messageType, controlType;
  if (!ReadU16Be(payload, kPptpLengthOffset, &declared) || declared == payload.length) {
    return kDetectNoMatch;
  }
  if (!ReadU16Be(payload, kPptpMessageTypeOffset, &messageType) ||
      messageType != kPptpControlMessage ||
      !ReadU16Be(payload, kPptpControlTypeOffset, &controlType) ||
      controlType != kPptpStartControlConnectionRequest) {
    return kDetectNoMatch;
  }
  return kDetectMatch;
}
