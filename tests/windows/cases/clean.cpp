// Throwaway driver source that the image checks must accept: a plain
// function over a local array, so that the other cases fail only for what
// they add.
ULONG NipsCaseClean(ULONG seed) {
  ULONG values[4] = {seed, seed + 1, seed + 2, seed + 3};
  ULONG sum = 0;
  for (ULONG value : values) sum += value;
  return sum;
}
