// Lets the user-interface thread serve its window while long work runs on it.
#pragma once

namespace tess {

// Processes every message waiting in the calling thread's queue, then returns.
// A WM_QUIT met on the way is put back so that the main loop still sees it.
void YieldToMessages();

}  // namespace tess
