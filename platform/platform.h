// The only interface between torvex and the operating system. One body per
// platform, in posix/ or win32/ (one file per concern), chosen by the build.
// Nothing here prints; every call that can fail answers false and leaves the OS
// error number in *err.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct CommPort;  // an open serial port and the settings read from it

// Read and write time-outs of a port, in milliseconds, with the meaning the
// Win32 COMMTIMEOUTS record gives them.
struct CommTimeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

// A calendar time with the fields of the Win32 SYSTEMTIME record.
struct SystemTime {
    uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

enum class OpenError { FileNotFound, AccessDenied, Other };

// PortOpen         open a port by name, exclusively, for reading and writing
// PortGetState     read the port's current line settings into the port record
// PortSetState     apply raw 8N1 at baud on top of the settings read, DTR and RTS up
// PortSetTimeouts  keep (POSIX) or apply (Win32) the read and write time-outs
// PortRead         read up to n bytes, returning as the time-outs say; *got may be 0
// PortWrite        write n bytes within the write time-out; *sent may be short
// PortClose        close the port; a null port is ignored
// ClassifyOpenError  which of the open messages an error number of PortOpen calls for
// PortSpeaksTelnet   a network port named socket:// whose server opened with telnet
//                    negotiation: rfc2217:// is its name
// PortDropped        bytes that came from a network port before it was ready and did
//                    not fit what is kept for the first read; 0 for a local port
bool PortOpen(const char* name, CommPort** port, long* err);
bool PortGetState(CommPort* port, long* err);
bool PortSetState(CommPort* port, uint32_t baud, long* err);
bool PortSetTimeouts(CommPort* port, const CommTimeouts& timeouts, long* err);
bool PortRead(CommPort* port, void* buf, uint32_t n, uint32_t* got, long* err);
bool PortWrite(CommPort* port, const void* buf, uint32_t n, uint32_t* sent, long* err);
void PortClose(CommPort* port);
OpenError ClassifyOpenError(long err);
bool PortSpeaksTelnet(const CommPort* port);
uint64_t PortDropped(const CommPort* port);

// TickCount        milliseconds on a monotonic clock; never wraps
// UtcNow           the system's calendar time in UTC
// Pause            sleep for ms milliseconds (none when ms <= 0)
// FlushConsole     write out standard output; a run ended meanwhile (Ctrl-C) waits for it
// ReadKey          one key press without echo or Enter; a character code, 0 at end of input.
//                  lineOpen: the console line holds text, so a run ended at the key
//                  ends that line first
// KeysApartFrom    the script is standard input itself: prompts then read their keys
//                  from the controlling terminal, when there is one
// PrepareConsole   first of all: hold each closed standard stream with the null device,
//                  so that no file opened later (the port) takes its place; make Ctrl-C
//                  and every other ending signal restore the console and release the
//                  port, then end the run by that signal (130 on Windows); let writes
//                  to a closed output fail rather than end the run; and buffer console
//                  output fully: every call here that may block flushes it first
uint64_t TickCount();
void UtcNow(SystemTime* now);
void Pause(int64_t ms);
void FlushConsole();
int ReadKey(bool lineOpen);
void KeysApartFrom(FILE* script);
void PrepareConsole();

// FileOpenRead     open a file for reading as bytes, "-" being standard input; a
//                  directory is refused (errno set). Flushes the console: what it
//                  opens may be a pipe or FIFO
// FileSeekable     whether an open file can be repositioned (a pipe or terminal cannot)
// TempDir          the directory of temporary files: TMPDIR or /tmp (POSIX), GetTempPath (Win32)
// TempFile         a new file in TempDir for reading and writing, removed when closed (errno set)
// FileTell, FileSeek  64-bit positions, so that scripts beyond 2 GiB jump right
FILE* FileOpenRead(const char* path);
bool FileSeekable(FILE* file);
const char* TempDir();
FILE* TempFile();
int64_t FileTell(FILE* file);
bool FileSeek(FILE* file, int64_t offset);

// PipeRoom         when file is a pipe, asks for room for more bytes in it, so
//                  that a writer of much output and its reader wake each other
//                  less often; nothing where a pipe's room is fixed
void PipeRoom(FILE* file);

// ProgressOpen     the rack's progress channel, when TORVEX_PROGRESS names an open one
// ProgressWrite    n bytes to it; false once it fails (the rack has gone)
bool ProgressOpen();
bool ProgressWrite(const char* line, size_t n);
