// The converter's last resort, for failures that no handler of ours can catch: an
// exception that escapes a thread a library started itself (libde265 decodes on
// worker threads of its own, and allocates there), or a library that ends the
// program while the output is being written. The partly written file is removed,
// and an escaped exception ends the program with one line naming the input and the
// code the same failure gets on our own threads (4 when memory ran out).
#pragma once

#include "tools/convert/fileio.h"

namespace conv {

// Installs the handlers; `input` is the name failures are reported under.
void armLastResort(const Path& input);

// The temporary file an OutFile is writing (removed should the program end now),
// and the end of it (committed or removed by its owner).
void lastResortWriting(const Path& temp);
void lastResortWritten();

}  // namespace conv
