// The room of an output pipe (Win32).
#include "platform/platform.h"

// A pipe's room is set when it is made, by its maker.
void PipeRoom(FILE* /*file*/)
{
}
