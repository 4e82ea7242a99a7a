#include "hostsim/mapped_stream.h"

#include <errno.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace hostsim {

namespace {

// Pages behind the reading position are dropped in steps of this size: often
// enough to keep the resident set small, seldom enough to cost nothing.
constexpr size_t kReleaseStep = 4 << 20;
constexpr size_t kStreamBuffer = 64 << 10;
constexpr size_t kPopulateStep = 2 << 20;

std::atomic<CaptureReadMode> g_readMode{CaptureReadMode::kMapped};

// A read of a page past the end of a file that was cut short raises SIGBUS.
// The copy out of the mapping runs under a guard: the handler jumps back to
// it and the read fails instead of the process dying. Faults elsewhere go to
// whichever handler was there before (a sanitizer's, or the default).
// volatile: the stores around the copy must not be merged or dropped, as
// memcpy is known not to read the guard.
thread_local sigjmp_buf* volatile t_copyGuard = nullptr;
struct sigaction g_previousBusAction;
std::once_flag g_busHandlerInstalled;

void OnBusError(int signal, siginfo_t* info, void* context) {
  if (t_copyGuard != nullptr) siglongjmp(*t_copyGuard, 1);
  if (g_previousBusAction.sa_flags & SA_SIGINFO) {
    if (g_previousBusAction.sa_sigaction != nullptr) {
      g_previousBusAction.sa_sigaction(signal, info, context);
      return;
    }
  } else if (g_previousBusAction.sa_handler != SIG_DFL &&
             g_previousBusAction.sa_handler != SIG_IGN) {
    g_previousBusAction.sa_handler(signal);
    return;
  }
  ::signal(SIGBUS, SIG_DFL);
  raise(SIGBUS);
}

void InstallBusHandler() {
  struct sigaction action = {};
  action.sa_sigaction = OnBusError;
  // NODEFER: the handler leaves by siglongjmp without restoring the mask.
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &g_previousBusAction);
}

struct MappedFile {
  int fd = -1;
  const uint8_t* base = nullptr;
  size_t size = 0;
  size_t position = 0;
  size_t released = 0;   // pages below this offset were given back
  size_t populated = 0;  // pages below this offset were mapped ahead of use
};

bool GuardedCopy(void* destination, const uint8_t* source, size_t length) {
  sigjmp_buf guard;
  if (sigsetjmp(guard, 0) != 0) {
    t_copyGuard = nullptr;
    return false;
  }
  t_copyGuard = &guard;
  memcpy(destination, source, length);
  t_copyGuard = nullptr;
  return true;
}

size_t PageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// Page tables filled a step ahead in one call cost far less than the faults
// a first touch of each page would take. Where the kernel cannot do it the
// pages simply fault in as they are read.
void PopulateAhead(MappedFile* file) {
  if (file->position + kPopulateStep / 2 < file->populated || file->populated >= file->size) {
    return;
  }
  const size_t start = file->populated < file->position / PageSize() * PageSize()
                           ? file->position / PageSize() * PageSize()
                           : file->populated;
  const size_t length = start + kPopulateStep < file->size ? kPopulateStep : file->size - start;
  madvise(const_cast<uint8_t*>(file->base) + start, length, MADV_POPULATE_READ);
  file->populated = start + length;
}

void ReleaseBehind(MappedFile* file) {
  const size_t upTo = file->position / PageSize() * PageSize();
  if (upTo < file->released + kReleaseStep) return;
  madvise(const_cast<uint8_t*>(file->base) + file->released, upTo - file->released, MADV_DONTNEED);
  file->released = upTo;
}

ssize_t ReadMapped(void* cookie, char* buffer, size_t length) {
  auto* file = static_cast<MappedFile*>(cookie);
  if (file->position >= file->size) return 0;
  PopulateAhead(file);
  const size_t count = length < file->size - file->position ? length : file->size - file->position;
  if (!GuardedCopy(buffer, file->base + file->position, count)) {
    errno = EIO;
    return -1;
  }
  file->position += count;
  ReleaseBehind(file);
  return static_cast<ssize_t>(count);
}

int SeekMapped(void* cookie, off64_t* offset, int whence) {
  auto* file = static_cast<MappedFile*>(cookie);
  int64_t origin = 0;
  if (whence == SEEK_CUR) origin = static_cast<int64_t>(file->position);
  if (whence == SEEK_END) origin = static_cast<int64_t>(file->size);
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
    errno = EINVAL;
    return -1;
  }
  int64_t target;
  if (__builtin_add_overflow(origin, static_cast<int64_t>(*offset), &target) || target < 0) {
    errno = EINVAL;
    return -1;
  }
  file->position = static_cast<size_t>(target);
  if (file->position < file->released) {
    file->released = file->position / PageSize() * PageSize();
  }
  *offset = target;
  return 0;
}

int CloseMapped(void* cookie) {
  auto* file = static_cast<MappedFile*>(cookie);
  munmap(const_cast<uint8_t*>(file->base), file->size);
  const int result = close(file->fd);
  delete file;
  return result;
}

}  // namespace

void SetCaptureReadMode(CaptureReadMode mode) { g_readMode.store(mode); }
CaptureReadMode GetCaptureReadMode() { return g_readMode.load(); }

FILE* OpenMappedStream(int fd, std::string* error) {
  struct stat info;
  if (fstat(fd, &info) != 0) {
    *error = strerror(errno);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode) || info.st_size <= 0) {
    *error = "not a regular file with content";
    return nullptr;
  }
  const size_t size = static_cast<size_t>(info.st_size);
  void* base = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (base == MAP_FAILED) {
    *error = strerror(errno);
    return nullptr;
  }
  madvise(base, size, MADV_SEQUENTIAL);
  std::call_once(g_busHandlerInstalled, InstallBusHandler);
  auto* file = new MappedFile;
  file->fd = fd;
  file->base = static_cast<const uint8_t*>(base);
  file->size = size;
  const cookie_io_functions_t functions = {ReadMapped, nullptr, SeekMapped, CloseMapped};
  FILE* stream = fopencookie(file, "rb", functions);
  if (stream == nullptr) {
    *error = strerror(errno);
    munmap(base, size);
    delete file;
    return nullptr;
  }
  // Buffered: stdio serves a custom stream's unbuffered reads a byte at a
  // time. A buffer the size of a few cache-resident frames keeps the extra
  // copy cheap.
  setvbuf(stream, nullptr, _IOFBF, kStreamBuffer);
  return stream;
}

}  // namespace hostsim
