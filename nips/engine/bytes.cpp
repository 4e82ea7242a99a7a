#include "nips/engine/bytes.h"

#include "nips/engine/packet_view.h"

ULONG64 GetPayloadLength(PacketView* view) {
  ULONG64 length = 0;
  view->data->GetPayload(&length);
  return length;
}

bool GetPayloadView(PacketView* view, ULONG64 lengthArgument, ByteView* out) {
  ULONG64 length = lengthArgument;
  const UCHAR* data = view->data->GetPayload(&length);
  if (data == nullptr) {
    out->data = nullptr;
    out->length = 0;
    return length == 0;
  }
  out->data = data;
  out->length = length;
  return true;
}

bool GetIpHeaderView(PacketView* view, ByteView* out) {
  ULONG64 length = 0;
  const UCHAR* data = view->data->GetIpHeader(&length);
  out->data = data;
  out->length = data == nullptr ? 0 : length;
  return data != nullptr;
}

bool GetTransportHeaderView(PacketView* view, ByteView* out) {
  ULONG64 length = 0;
  const UCHAR* data = view->data->GetTransportHeader(&length);
  out->data = data;
  out->length = data == nullptr ? 0 : length;
  return data != nullptr;
}
