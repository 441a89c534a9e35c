// Waiting for the device's answer and keeping it as the current response text.
#include "serial/response.h"

#include <cstdio>
#include <cstring>

#include "run/progress.h"
#include "run/settings.h"
#include "serial/display.h"

char RxData[RX_MAX + 2];
static char EmptyResponse[2];
char* RespStr = EmptyResponse;
uint32_t nRx;

static bool IsWhite(char c)
{
    return c == '\n' || c == '\r' || c == '\t' || c == ' ';
}

static bool IsSeparator(char c)
{
    return c == '\n' || c == '\r' || c == '\b';
}

const char* SkipEcho(const char* Tx, const char* Rx)
{
    for (;;) {
        while (IsWhite(*Tx)) {
            Tx++;
        }
        while (IsWhite(*Rx)) {
            Rx++;
        }
        if (*Tx == '\0' || *Rx == '\0' || *Tx != *Rx) {
            return Rx;
        }
        Tx++;
        Rx++;
        if (*Tx == '\0' || *Rx == '\0') {
            return Rx;
        }
    }
}

char* Response(const char* Tx, char* Rx)
{
    RespStr = Rx + (SkipEcho(Tx, Rx) - Rx);
    return RespStr;
}

// One call per line of the answer, not one per character.
static const char* PrintUntilSeparator(const char* S)
{
    const char* end = S;
    while (*end != '\0' && !IsSeparator(*end)) {
        end++;
    }
    (void)fwrite(S, 1, static_cast<size_t>(end - S), stdout);
    return end;
}

void PrintResponse(const char* S)
{
    while (IsSeparator(*S)) {
        S++;
    }
    S = PrintUntilSeparator(S);
    while (*S != '\0') {
        while (IsSeparator(*S)) {
            S++;
        }
        if (*S != '\0') {
            fputs(", ", stdout);
        }
        S = PrintUntilSeparator(S);
    }
}

static void ReportAnswer(const char* Sent)
{
    fputs("Got \"", stdout);
    PrintResponse(Response(Sent, RxData));
    fputs("\"\n", stdout);
}

bool WaitForString(CommPort* port, const char* Sent, const char* SGood, const char* SBad,
                   int32_t MaxWait)
{
    // 64-bit milliseconds: no wrap, and any 32-bit number of seconds fits.
    const int64_t MaxTime = static_cast<int64_t>(TickCount()) + static_cast<int64_t>(MaxWait) * 1000;
    Progress("wait", MaxWait);
    while (static_cast<int64_t>(TickCount()) < MaxTime) {
        long err = 0;
        uint32_t got = 0;
        if (!PortRead(port, RxData, RX_MAX, &got, &err)) {
            printf("ReadFile error %ld\n", err);
            Progress("answer readfail");
            return false;
        }
        nRx = got;
        if (Debug) {
            printf("\nnRx = %d\n", static_cast<int>(nRx));
        }
        if (nRx == 0) {
            continue;
        }
        RxData[nRx] = '\0';
        if (Debug) {
            printf("Received %d bytes = \"", static_cast<int>(nRx));
            DisplayString(RxData, nRx);
        }
        // Only what follows the echo counts: a command whose own text holds the
        // good word must not pass as answered.
        const char* answer = SkipEcho(Sent, RxData);
        if (strstr(answer, SGood) != nullptr) {
            ReportAnswer(Sent);
            Progress("answer ok");
            return true;
        }
        if (strstr(answer, SBad) != nullptr) {
            ReportAnswer(Sent);
            Progress("answer error");
            return false;
        }
    }
    printf("Timed out waiting for \"%s\"\n", SGood);
    Progress("answer none");
    return false;
}
