// Throwaway driver source: a routine from a kernel module other than
// ntoskrnl.exe and HAL.dll (linked with -lndis).
extern "C" __declspec(dllimport) ULONG NdisGetVersion(VOID);

ULONG NipsCaseForeignModule() { return NdisGetVersion(); }
