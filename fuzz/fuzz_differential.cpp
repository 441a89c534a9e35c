// The checker against the run over scripts drawn from the input: each byte
// chooses the next piece of the grammar, keys included. A claim of the checker
// that the run contradicts, or a run that does what no finding foretold,
// crashes with both shown.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "diff/differential.h"
#include "fuzz/common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/tmp/torvex-fuzz-diff-" + std::to_string(getpid()) + ".txt";
    Choices choices(data, size);
    const std::string found = Disagreements(GenerateScript(&choices), path);
    if (!found.empty()) {
        fprintf(stderr, "%s", found.c_str());
    }
    FUZZ_CHECK(found.empty());
    return 0;
}
