// The browser tests' databases: the known runs (tests/records/known_runs.h)
// with units whose ids look like markup and a run still open; one run more,
// recorded now, while a page is open; and the pushing of a file's runs to
// the line's database.
//   web_fixture known DB
//   web_fixture add DB DUT OUTCOME
//   web_fixture push DB URL
#include <cstdio>
#include <string>

#include "known_runs.h"
#include "push.h"

// Ids that are markup if a page ever pastes them into its HTML.
const char *const kMarkupIds[] = {"<script>alert(1)</script>", "\"><img src=x onerror=alert(1)>"};

int main(int argc, char **argv) {
  const std::string what = argc > 2 ? argv[1] : "";
  try {
    if (what == "known" && argc == 3) {
      auto store = rec::open_store(argv[2], rec::OpenMode::Create);
      for (const KnownRun &k : kKnownRuns)
        record(*store, make_run(k.dut, k.station, k.started, k.outcome, k.failed));
      // Before the known runs' days: the known figures stay as they are.
      record(*store, make_run(kMarkupIds[0], "s1", "2026-11-20T08:00:00.000Z", "fail", {"ring"}));
      record(*store, make_run(kMarkupIds[1], "s2", "2026-11-20T09:00:00.000Z", "pass"));
      rec::Run open = make_run("F", "s1", "2026-11-20T10:00:00.000Z", "");
      store->begin(open);
      return 0;
    }
    if (what == "add" && argc == 5) {
      auto store = rec::open_store(argv[2], rec::OpenMode::Create);
      rec::Run r = make_run(argv[3], "s3", rec::utc_now(), argv[4]);
      printf("%d\n", record(*store, r));
      return 0;
    }
    if (what == "push" && argc == 4) {
      auto store = rec::open_store(argv[2], rec::OpenMode::Existing);
      const rec::PushReport r = rec::push_outbox(*store, argv[3], rec::PushLimits::everything());
      if (!r.error.empty()) {
        fprintf(stderr, "web_fixture: push: %s\n", r.error.c_str());
        return 1;
      }
      return 0;
    }
  } catch (const rec::StoreError &e) {
    fprintf(stderr, "web_fixture: %s\n", e.what());
    return 1;
  }
  fprintf(stderr, "usage: web_fixture known DB | add DB DUT OUTCOME | push DB URL\n");
  return 2;
}
