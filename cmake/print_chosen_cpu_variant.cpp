// Prints the name of the CPU variant the dispatcher takes on this processor,
// for a build that compiles that variant alone.
#include <cstdio>

#include "orv_cpu_variants.h"

int main() {
  const char* chosen = orv_chosen_cpu_variant();
  if (chosen == nullptr) return 1;
  std::fputs(chosen, stdout);
  return 0;
}
