// Inside the Win32 platform layer only: what its files share. The main
// thread's waits, which Ctrl-C may end at once because the console was flushed
// before they began, and the prompt line that an ended run closes.
#pragma once

// BeginWait      flush the console and mark the main thread as waiting
// EndWait        the wait is over: output may be half written again from here
// EndPromptLine  a run ended at a prompt ends the prompt's line first
// SetPromptLine  whether a prompt's message stands on the console line
void BeginWait();
void EndWait();
void EndPromptLine();
void SetPromptLine(bool open);

// The descriptor of a script read from standard input ("-"), or -1.
extern int StdinScriptFd;
