// torvex-rack on Windows: a system error as words, for both Windows files.
#pragma once

#include <windows.h>

#include <string>

inline std::string ErrorText(DWORD err)
{
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, text, sizeof text,
                   nullptr);
    std::string why = text;
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ' || why.back() == '.')) {
        why.pop_back();
    }
    return why + " (error " + std::to_string(err) + ")";
}
