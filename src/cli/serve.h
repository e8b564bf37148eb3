// `trnctl records serve`: the records as a page in a browser (counts,
// charts, the latest runs, a unit's runs), kept up to date while it is open,
// and the same data as JSON and CSV for scripts.  The HTTP side and its
// security rules are the web library's (src/web/); the routes are here.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "records_cmd.h"

namespace trnctl {

struct ServeArgs {
  std::string listen = "127.0.0.1:8080";
  std::string token_file;
  std::vector<std::string> hosts;
  CLI::App *serve = nullptr;
};

// Adds `serve` under the records command.
void add_serve_command(CLI::App &records, ServeArgs &args);

// Serves until SIGINT or SIGTERM (status 0).  Throws Failure: 2 for a wrong
// argument or a missing token, 1 for a database that cannot be read or an
// address that cannot be listened on.
int run_serve(const RecordsArgs &records, const ServeArgs &serve, bool json);

}  // namespace trnctl
