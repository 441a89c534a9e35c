// The scripts the figures run. They are written line by line: a large buffer
// here would stay in this process's memory, and a child's peak memory counts
// what it inherits at fork.
#include "scripts.h"

#include <cstdio>
#include <cstring>

#include "harness.h"

namespace {

FILE* Create(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        Die(path.c_str());
    }
    return f;
}

void Close(FILE* f, const std::string& path)
{
    if (fclose(f) != 0) {
        Die(path.c_str());
    }
}

}  // namespace

std::string RepeatFile(const std::string& path, const std::string& line, long count)
{
    FILE* f = Create(path);
    for (long i = 0; i < count; i++) {
        fputs(line.c_str(), f);
    }
    Close(f, path);
    return path;
}

void WriteFile(const std::string& path, const std::string& content)
{
    RepeatFile(path, content, 1);
}

size_t WriteLabelScript(const std::string& path, size_t bytes, bool withLabels, long* labels)
{
    FILE* f = Create(path);
    size_t size = 0;
    auto put = [&](const char* line) {
        fputs(line, f);
        size += strlen(line);
    };
    put("#goto end\r\n");
    const std::string tail(470, 'x');
    long n = 0;
    for (long i = 0; size < bytes; i++) {
        char line[600];
        switch (i % 8) {
        case 0:
            if (withLabels) {
                snprintf(line, sizeof line, ":L%07ld\r\n", i);
                n++;
            } else {
                snprintf(line, sizeof line, "#nodebug\r\n");
            }
            break;
        case 1: snprintf(line, sizeof line, "AT+CSQ\r\n"); break;
        case 2: snprintf(line, sizeof line, "#if (>10) L%07ld\r\n", i); break;
        case 3: snprintf(line, sizeof line, "^QRTC: now\r\n"); break;
        case 4: snprintf(line, sizeof line, "#print step %ld of the long script\r\n", i); break;
        case 5: snprintf(line, sizeof line, "\r\n"); break;
        case 6: snprintf(line, sizeof line, "AT^QXYZ=1,2,3,4,5,6,7,8\r\n"); break;
        default:
            // Now and then a line longer than one read.
            snprintf(line, sizeof line, i % 64 == 7 ? "AT+LONG=%s\r\n" : "#nodebug\r\n", tail.c_str());
        }
        put(line);
    }
    put(":end\r\n");
    n++;
    Close(f, path);
    *labels = n;
    return size;
}
