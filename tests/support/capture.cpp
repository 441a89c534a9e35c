// Captures what code under test prints on standard output, and feeds its standard input.
#include "support/capture.h"

#include <cstdio>
#include <unistd.h>

// Wine's tmpfile can lose a race with another test process for the same name
// now and then: try again before giving up.
static FILE* TempFile()
{
    for (int attempt = 0; attempt < 50; attempt++) {
        if (FILE* file = tmpfile()) {
            return file;
        }
        usleep(20000);
    }
    return nullptr;
}

static std::string ReadAll(FILE* file)
{
    std::string text;
    rewind(file);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file)) > 0) {
        text.append(buf, n);
    }
    return text;
}

std::string CaptureStdout(const std::function<void()>& fn)
{
    fflush(stdout);
    FILE* tmp = TempFile();
    if (tmp == nullptr) {
        return "<tmpfile failed>";
    }
    const int saved = dup(1);
    // dup2 gives descriptor 1 the binary mode of the temporary file on Windows too,
    // so nothing is translated: the text is exactly what was printed.
    dup2(fileno(tmp), 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text = ReadAll(tmp);
    fclose(tmp);
    return text;
}

void WithStdin(const std::string& input, const std::function<void()>& fn)
{
    FILE* tmp = TempFile();
    if (tmp == nullptr) {
        return;
    }
    fwrite(input.data(), 1, input.size(), tmp);
    fflush(tmp);
    rewind(tmp);
    const int saved = dup(0);
    dup2(fileno(tmp), 0);
    fn();
    dup2(saved, 0);
    close(saved);
    fclose(tmp);
}
