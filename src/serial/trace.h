// The trace hook: the one way the serial and protocol layers hand their
// trace lines ("len=", "Get Result", "key --->", "Receive Error!!", the
// port set-up texts) to the program above them.  They print nothing
// themselves: the panel installs stdio_trace, which writes each text to
// standard output or standard error as it comes; trnctl installs none, and
// then the lines go nowhere.
#pragma once

namespace trn {

// Where a text belongs: the operator trace (standard output), or the port
// set-up failures (standard error).
enum class TraceTo { Out, Err };

// Receives each text whole, line feeds included, in the order the layers
// produce them, on the thread that produced it.
using TraceHook = void (*)(TraceTo to, const char *text);

// nullptr: nothing is traced.
void set_trace_hook(TraceHook hook);

// The hook the panel installs: each text to standard output or standard
// error, through stdio, so that it keeps its place among the panel's own
// lines.
void stdio_trace(TraceTo to, const char *text);

// Formats a text as printf does and hands it to the hook, if one is set.
void trace(TraceTo to, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace trn
