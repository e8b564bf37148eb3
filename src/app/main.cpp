// trndemo: test panel for the TRN controller board of the Q742 terminal.
#include "app.h"

int main(int argc, char **argv) { return trn::trndemo_main(argc, argv); }
