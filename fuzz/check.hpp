// What every harness needs: a broken invariant aborts with one line that names it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

inline void check(bool ok, const char* invariant) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", invariant);
  std::abort();
}
