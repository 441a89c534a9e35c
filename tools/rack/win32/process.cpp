// torvex-rack on Windows: torvex processes started with CreateProcess, their
// console and progress pipes peeked in turn (anonymous pipes have no
// overlapped reads), keys from the console, and rows drawn with the console's
// virtual-terminal mode.
#include <windows.h>
#include <conio.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "os.h"
#include "error.h"

namespace {

struct Child {
    HANDLE Process = nullptr;
    HANDLE Out = nullptr;       // console: standard output and error
    HANDLE Progress = nullptr;  // the progress channel
    HANDLE In = nullptr;        // standard input
    DWORD Group = 0;            // its console process group, for Ctrl-Break
    bool Reaped = false;
};

std::vector<Child> Children;
HANDLE Job = nullptr;  // every child is in it; closed with the rack, it ends them
volatile LONG CtrlSignal = 0;
ULONGLONG StopDeadline = 0;  // when children still running after Ctrl-C are ended
std::atomic<bool> KeysOn{false};  // also read by the console's writer
bool PromptUp = false;
DWORD SavedOutMode = 0;
bool OutModeChanged = false;

// Ctrl-C, Ctrl-Break and closing the window: the children, on the same
// console, get it too; the rack waits for them, then reports.
BOOL WINAPI OnConsoleCtrl(DWORD type)
{
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        InterlockedExchange(&CtrlSignal, 2);
        return TRUE;
    }
    return FALSE;
}

void CloseOne(HANDLE* h)
{
    if (*h != nullptr) {
        CloseHandle(*h);
        *h = nullptr;
    }
}

// Quotes an argument as the C runtime splits a command line.
std::string Quoted(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        return arg;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

// Reads what is waiting; false once the writer has gone and nothing is left.
bool Drain(HANDLE h, std::string* bytes)
{
    DWORD waiting = 0;
    const bool peeked = PeekNamedPipe(h, nullptr, 0, nullptr, &waiting, nullptr) != 0;
    if (peeked && waiting == 0) {
        return true;
    }
    char buf[65536];
    DWORD got = 0;
    // After a failed peek the writer has gone, so the read does not block.
    if (!ReadFile(h, buf, peeked && waiting < sizeof buf ? waiting : sizeof buf, &got, nullptr) || got == 0) {
        return false;
    }
    bytes->append(buf, got);
    return true;
}

}  // namespace

// The job whose last handle, the rack's, ends every process in it: so the
// runs end with the rack however it ends.
HANDLE RackJob()
{
    if (Job == nullptr) {
        Job = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (Job != nullptr &&
            !SetInformationJobObject(Job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            CloseHandle(Job);
            Job = nullptr;
        }
    }
    return Job;
}

StartResult StartChild(size_t child, const std::string& exe, const std::vector<std::string>& args,
                       std::string* why)
{
    if (Children.size() <= child) {
        Children.resize(child + 1);
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr, progRead = nullptr,
           progWrite = nullptr;
    // The rack's ends are not inherited; the child's ends go only to this
    // child, named in its handle list.
    if (!CreatePipe(&inRead, &inWrite, &sa, 0) || !CreatePipe(&outRead, &outWrite, &sa, 0) ||
        !CreatePipe(&progRead, &progWrite, &sa, 0)) {
        const DWORD err = GetLastError();
        for (HANDLE* h : {&inRead, &inWrite, &outRead, &outWrite, &progRead, &progWrite}) {
            CloseOne(h);
        }
        *why = ErrorText(err);
        return err == ERROR_NO_SYSTEM_RESOURCES || err == ERROR_NOT_ENOUGH_MEMORY ? StartResult::NoDescriptors
                                                                                  : StartResult::Failed;
    }
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(progRead, HANDLE_FLAG_INHERIT, 0);

    std::string command = Quoted(exe);
    for (const std::string& arg : args) {
        command += " " + Quoted(arg);
    }
    std::string env;
    char* block = GetEnvironmentStringsA();
    for (const char* e = block; e != nullptr && *e != '\0'; e += strlen(e) + 1) {
        if (_strnicmp(e, "TORVEX_PROGRESS=", 16) != 0) {
            env.append(e, strlen(e) + 1);
        }
    }
    FreeEnvironmentStringsA(block);
    env += "TORVEX_PROGRESS=" + std::to_string(reinterpret_cast<uintptr_t>(progWrite));
    env.append(2, '\0');

    HANDLE inherited[3] = {inRead, outWrite, progWrite};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> listStore(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listStore.data());
    const bool listed = InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                  sizeof inherited, nullptr, nullptr);
    STARTUPINFOEXA si = {};
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = inRead;
    si.StartupInfo.hStdOutput = outWrite;
    si.StartupInfo.hStdError = outWrite;
    si.lpAttributeList = listed ? list : nullptr;
    PROCESS_INFORMATION pi = {};
    const DWORD flags = CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | (listed ? EXTENDED_STARTUPINFO_PRESENT : 0);
    const BOOL started = CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, TRUE, flags, &env[0], nullptr,
                                  &si.StartupInfo, &pi);
    const DWORD err = GetLastError();
    if (listed) {
        DeleteProcThreadAttributeList(list);
    }
    if (started) {
        // In the job before it runs a single instruction. A system that allows
        // no job here (an older Windows inside a job of its own) still gets its
        // runs, only without that link.
        HANDLE job = RackJob();
        if (job != nullptr) {
            AssignProcessToJobObject(job, pi.hProcess);
        }
        ResumeThread(pi.hThread);
    }
    CloseHandle(inRead);
    CloseHandle(outWrite);
    CloseHandle(progWrite);
    if (!started) {
        CloseHandle(inWrite);
        CloseHandle(outRead);
        CloseHandle(progRead);
        *why = exe + ": " + ErrorText(err);
        return StartResult::Failed;
    }
    CloseHandle(pi.hThread);
    Child& c = Children[child];
    c.Group = pi.dwProcessId;
    c.Process = pi.hProcess;
    c.Out = outRead;
    c.Progress = progRead;
    c.In = inWrite;
    c.Reaped = false;
    return StartResult::Started;
}

void SendKey(size_t child, char key)
{
    DWORD sent = 0;
    if (Children[child].In != nullptr) {
        WriteFile(Children[child].In, &key, 1, &sent, nullptr);
    }
}

void EndInput(size_t child)
{
    CloseOne(&Children[child].In);
}

void StopChildren(int)
{
    // Each child is a console process group of its own, which Ctrl-C does not
    // reach: Ctrl-Break, which torvex takes the same way, is passed on to it.
    for (const Child& c : Children) {
        if (c.Process != nullptr && !c.Reaped) {
            GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, c.Group);
        }
    }
    // A run that does not end soon is ended.
    if (StopDeadline == 0) {
        StopDeadline = GetTickCount64() + 5000;
    }
}

void EndChild(size_t child, bool hard)
{
    const Child& c = Children[child];
    if (c.Process == nullptr || c.Reaped) {
        return;
    }
    if (hard) {
        TerminateProcess(c.Process, 1);
    } else {
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, c.Group);
    }
}

void Suspend()
{
    // No job control on Windows.
}

void ContinueChildren()
{
}

void WantKeys(bool on)
{
    PromptUp = on;
}

void FlushKeys()
{
    if (KeysOn) {
        FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
    }
}

// No station here: nothing to watch.
void WatchAlso(int) {}

void WaitEvents(int ms, OsEvents* events)
{
    const ULONGLONG deadline = ms < 0 ? ~0ULL : GetTickCount64() + static_cast<ULONGLONG>(ms);
    for (;;) {
        if (InterlockedExchange(&CtrlSignal, 0) != 0) {
            events->signal = 2;
        }
        while (KeysOn && PromptUp && _kbhit()) {
            events->keys += static_cast<char>(_getch());
        }
        for (size_t i = 0; i < Children.size(); i++) {
            Child& c = Children[i];
            for (HANDLE* h : {&c.Progress, &c.Out}) {  // the progress channel names the line first
                std::string bytes;
                if (*h == nullptr) {
                    continue;
                }
                const bool open = Drain(*h, &bytes);
                if (!bytes.empty()) {
                    events->output.push_back({i, h == &c.Progress, bytes});
                }
                if (!open) {
                    CloseOne(h);
                }
            }
            if (!c.Reaped && StopDeadline != 0 && GetTickCount64() > StopDeadline) {
                TerminateProcess(c.Process, 130);
            }
            if (c.Out == nullptr && c.Progress == nullptr && !c.Reaped) {
                WaitForSingleObject(c.Process, INFINITE);
                DWORD code = 0;
                GetExitCodeProcess(c.Process, &code);
                CloseOne(&c.Process);
                CloseOne(&c.In);
                c.Reaped = true;
                ChildEnd end;
                end.status = static_cast<int>(code);
                events->ended.emplace_back(i, end);
            }
        }
        if (events->signal != 0 || !events->keys.empty() || !events->output.empty() || !events->ended.empty() ||
            GetTickCount64() >= deadline) {
            return;
        }
        Sleep(10);
    }
}

bool ConsoleIsTerminal()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetFileType(out) != FILE_TYPE_CHAR || !GetConsoleMode(out, &mode)) {
        return false;
    }
    // Rows are drawn with escape sequences: the console must take them.
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
        if (!SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
            return false;
        }
        SavedOutMode = mode;
        OutModeChanged = true;
    }
    return true;
}

bool ConsoleUtf8()
{
    return GetConsoleOutputCP() == CP_UTF8;
}

bool KeysFromTerminal()
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    return GetFileType(in) == FILE_TYPE_CHAR && GetConsoleMode(in, &mode);
}

void ConsoleSize(int* columns, int* rows)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        *columns = info.srWindow.Right - info.srWindow.Left + 1;
        *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    }
}

void TerminalKeys(bool on)
{
    // _getch takes keys one by one without echo; nothing to set.
    KeysOn = on;
    if (!on && OutModeChanged) {
        SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), SavedOutMode);
        OutModeChanged = false;
    }
}

void ConsoleWriteAll(const std::string& text)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const char* p = text.data();
    size_t n = text.size();
    while (n > 0) {
        DWORD sent = 0;
        if (!WriteFile(out, p, static_cast<DWORD>(n), &sent, nullptr) || sent == 0) {
            return;
        }
        p += sent;
        n -= sent;
    }
}

void PrepareSignals()
{
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
}

void BinaryInput()
{
    // Carriage returns are part of a script's lines: no text-mode translation.
    _setmode(_fileno(stdin), _O_BINARY);
}

void DieBySignal(int)
{
    if (OutModeChanged) {
        SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), SavedOutMode);
    }
    ExitProcess(130);
}
