// Throwaway driver source: a global object whose constructor would have to
// run before DriverEntry; the kernel runs no constructors.
__attribute__((noinline)) ULONG NipsCaseSeed() { return 7; }

struct NipsCaseCounter {
  NipsCaseCounter() : value(NipsCaseSeed()) {}
  ULONG value;
};

NipsCaseCounter g_caseCounter;
