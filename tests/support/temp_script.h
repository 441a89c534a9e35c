// An open script held in an anonymous temporary file, as the line loop reads it.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "script/labels.h"

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using ScriptHandle = std::unique_ptr<FILE, FileCloser>;

// The file holds exactly these bytes (binary, so carriage returns stay) and is positioned at its start.
inline ScriptHandle TempScript(const std::string& content)
{
    FILE* f = tmpfile();
    if (f != nullptr) {
        fwrite(content.data(), 1, content.size(), f);
        rewind(f);
    }
    return ScriptHandle(f);
}

// The next line as the line loop reads it, or "<EOF>" when nothing is left.
inline std::string NextLine(FILE* f)
{
    char buf[LINE_MAX_READ + 1];
    if (fgets(buf, sizeof buf, f) == nullptr) {
        return "<EOF>";
    }
    return buf;
}
