// Entry point of every test binary.  A suite whose toolkit tests were all
// skipped for want of a display reports itself as skipped (exit 77, which
// CTest shows as "Not Run") rather than as passed, so an empty run is never
// mistaken for a green one.
#include <gtest/gtest.h>

#include "support.h"
#include "trace.h"

constexpr int kSkipped = 77;

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The serial and protocol layers trace as they do in the panel.
  trn::set_trace_hook(trn::stdio_trace);
  int rc = RUN_ALL_TESTS();
  if (rc != 0) return rc;
  const auto *unit = ::testing::UnitTest::GetInstance();
  if (unit->skipped_test_count() > 0 && display_missing()) {
    fprintf(stderr, "%d tests need a display and were skipped (run under xvfb-run)\n",
            unit->skipped_test_count());
    return kSkipped;
  }
  return 0;
}
