// Throwaway driver source: a kernel routine that is not on the allow-list.
VOID NipsCaseForeignImport(ULONG code) { KeBugCheckEx(code, 0, 0, 0, 0); }
