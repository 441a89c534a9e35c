// torvex-rack on POSIX: the pattern that finds a unit's name in the answer of
// its identification run. The C library's extended regular expressions: no
// recursion that a long answer could take deep.
#include <regex.h>

#include <string>

#include "os.h"

bool UnitIdPattern(const std::string& pattern, std::string* why)
{
    regex_t re;
    const int error = regcomp(&re, pattern.c_str(), REG_EXTENDED);
    if (error != 0) {
        char text[256];
        regerror(error, &re, text, sizeof text);
        *why = text;
        return false;
    }
    regfree(&re);
    return true;
}

bool FindUnitId(const std::string& text, const std::string& pattern, std::string* id)
{
    regex_t re;
    if (regcomp(&re, pattern.c_str(), REG_EXTENDED) != 0) {
        return false;
    }
    // A NUL from the device would end the text early: it is no part of a name.
    std::string searched = text;
    for (char& c : searched) {
        c = c == '\0' ? '\n' : c;
    }
    regmatch_t match[2];
    const bool found = regexec(&re, searched.c_str(), 2, match, 0) == 0;
    regfree(&re);
    if (found) {
        const regmatch_t& m = re.re_nsub > 0 && match[1].rm_so >= 0 ? match[1] : match[0];
        *id = searched.substr(static_cast<size_t>(m.rm_so), static_cast<size_t>(m.rm_eo - m.rm_so));
    }
    return found;
}
