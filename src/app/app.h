// Application shell: start-up order and exit path.
#pragma once

#include "shell.h"  // window and destroy, defined here for the panel

namespace trn {

extern const char *const VERSION_TEXT;  // "1.1.1"

// The whole program; main() only calls this.
int trndemo_main(int argc, char **argv);

}  // namespace trn
