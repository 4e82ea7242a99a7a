// Throwaway driver source: a C++ exception in kernel code.
int NipsCaseException(int value) {
  if (value < 0) throw value;
  return value;
}
