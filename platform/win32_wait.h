// Inside the Win32 platform layer only: the main thread's waits, which Ctrl-C
// may end at once because the console was flushed before they began.
#pragma once

// BeginWait  flush the console and mark the main thread as waiting
// EndWait    the wait is over: output may be half written again from here
void BeginWait();
void EndWait();
