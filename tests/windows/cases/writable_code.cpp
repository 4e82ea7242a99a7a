// Throwaway driver source: a section that is both writable and executable,
// which memory integrity refuses to load.
asm(".section .nipswx, \"xw\"\n"
    "ret\n"
    ".text\n");
