// Throwaway driver source: an STL container needs operator new and the
// library's throw helpers, which a kernel image cannot have.
#include <vector>

int NipsCaseStlContainer(int value) {
  std::vector<int> values;
  values.push_back(value);
  return values.back();
}
