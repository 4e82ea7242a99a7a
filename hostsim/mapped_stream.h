#pragma once

#include <stdio.h>

#include <string>

namespace hostsim {

// A capture file mapped into memory behind a stdio stream, for libpcap to
// parse as it parses any FILE*. Reading it costs no read system call and no
// copy out of the page cache.
//
// The pages behind the reading position are given back as the stream moves
// on, so the scan's resident memory stays flat whatever the file's size.
// A file cut shorter while it is mapped makes the next read fail with EIO
// (the fault is caught) instead of killing the process; a file that grows is
// read up to the size it had when it was opened.
//
// Takes ownership of fd on success (closed with the stream). Returns nullptr
// with *error set when the file cannot be mapped; the caller then reads it
// through an ordinary stream.
FILE* OpenMappedStream(int fd, std::string* error);

// How reads are done: mapped where possible, or always through read(2). The
// choice changes nothing but speed; tests compare the two.
enum class CaptureReadMode { kMapped, kStdio };
void SetCaptureReadMode(CaptureReadMode mode);
CaptureReadMode GetCaptureReadMode();

}  // namespace hostsim
