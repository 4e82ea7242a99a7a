// Writes the project's generated captures:
//   nips_gen_captures examples DIR          the example captures (examples/)
//   nips_gen_captures regress DIR           one capture per regression case (tests/regress/cases/)
//   nips_gen_captures bench FILE [PACKETS]  the scan benchmark capture (default 1000000 frames)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tools/capture_gen.h"

int main(int argc, char** argv) {
  const std::string command = argc >= 2 ? argv[1] : "";
  std::string error;
  std::vector<capgen::GeneratedCapture> written;
  if (argc == 3 && command == "examples") {
    if (!capgen::WriteExamples(argv[2], &written, &error)) {
      fprintf(stderr, "nips_gen_captures: %s\n", error.c_str());
      return 1;
    }
  } else if (argc == 3 && command == "regress") {
    if (!capgen::WriteRegressionCaptures(argv[2], &written, &error)) {
      fprintf(stderr, "nips_gen_captures: %s\n", error.c_str());
      return 1;
    }
  } else if ((argc == 3 || argc == 4) && command == "bench") {
    char* end = nullptr;
    const unsigned long long packets = argc == 4 ? strtoull(argv[3], &end, 10) : 1000000;
    if ((argc == 4 && (*end != '\0' || packets == 0)) ||
        !capgen::WriteBenchCapture(argv[2], packets, &error)) {
      fprintf(stderr, "nips_gen_captures: %s\n",
              error.empty() ? "PACKETS must be a positive number" : error.c_str());
      return 1;
    }
    written.push_back({argv[2], std::to_string(packets) + " mixed frames"});
  } else {
    fprintf(stderr,
            "usage: nips_gen_captures examples DIR\n"
            "       nips_gen_captures regress DIR\n"
            "       nips_gen_captures bench FILE [PACKETS]\n");
    return 2;
  }
  for (const capgen::GeneratedCapture& capture : written) {
    printf("%-48s %s\n", capture.name.c_str(), capture.description.c_str());
  }
  return 0;
}
