// Tests on connection-oriented DCE/RPC PDUs shared by the DCE/RPC detectors.
// A PDU view runs from the PDU's first byte to the end of the payload that
// holds it; a field that does not fit inside the view makes a test false, and
// so does a view whose pointer is null. Callable at any IRQL.
#pragma once

#include <ntddk.h>

#include "nips/engine/bytes.h"

// Version 5, minor version 0.
bool IsRpcVersion5(const ByteView& pdu);
// At least 16 bytes, version 5.0, packet type bind.
bool IsRpcBind(const ByteView& pdu);
// A version 5.0 request whose operation number is 0 or 4.
bool IsRpcRequestOpnum0or4(const ByteView& pdu);
// The 16 bytes at the start of uuid are one of the two DCOM activation
// interfaces, as they stand in a PDU.
bool IsActivationInterface(const ByteView& uuid);
// The first UTF-16LE "\\" pair in area is followed by at least 40 code units
// that are neither a backslash nor NUL: a UNC server name of 40 or more
// characters.
bool HasLongUncServerName(const ByteView& area);
