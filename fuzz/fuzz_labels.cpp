// A script file through ScanFileForLabels, then jumps by name with Goto.
// Input: the names to jump to, one a line, a NUL, then the script file.
// The label list is checked against a model of the line reads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/common.h"
#include "platform/platform.h"

struct ModelLabel {
    std::string name;
    int64_t offset;
};

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    SilenceConsole();
    return 0;
}

// The labels the script defines, oldest first: reads of at most LINE_MAX_READ
// bytes ending after a line feed; a read that begins with ":" defines the
// text after it, up to a NUL, without line ends, cut to LABEL_MAX characters.
static std::vector<ModelLabel> ModelScan(const uint8_t* file, size_t size)
{
    std::vector<ModelLabel> labels;
    size_t at = 0;
    while (at < size) {
        size_t end = at;
        while (end < size && end - at < static_cast<size_t>(LINE_MAX_READ)) {
            if (file[end++] == '\n') {
                break;
            }
        }
        if (file[at] == ':') {
            std::string name;
            for (size_t i = at + 1; i < end && file[i] != '\0'; i++) {
                if (file[i] != '\r' && file[i] != '\n') {
                    name += static_cast<char>(file[i]);
                }
            }
            name.resize(name.size() < static_cast<size_t>(LABEL_MAX) ? name.size() : LABEL_MAX);
            labels.push_back({name, static_cast<int64_t>(end)});
        }
        at = end;
    }
    return labels;
}

static char Fold(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

static bool SameNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (Fold(a[i]) != Fold(b[i])) {
            return false;
        }
    }
    return true;
}

static void CheckList(const std::vector<ModelLabel>& model)
{
    // The list runs newest first.
    size_t i = model.size();
    for (const LabelRec* rec = Labels; rec != nullptr; rec = rec->Next) {
        FUZZ_CHECK(i > 0);
        i--;
        FUZZ_CHECK(memchr(rec->Label, 0, sizeof rec->Label) != nullptr);
        FUZZ_CHECK(model[i].name == rec->Label);
        FUZZ_CHECK(model[i].offset == rec->Offset);
    }
    FUZZ_CHECK(i == 0);
}

static void Jump(FILE* FIn, const std::vector<ModelLabel>& model, const char* name)
{
    // Names are looked up by as many characters as a label keeps.
    const std::string key(name, strnlen(name, LABEL_MAX));
    const ModelLabel* target = nullptr;
    for (const ModelLabel& label : model) {
        if (SameNoCase(label.name, key)) {
            target = &label;  // the last definition wins
        }
    }
    const int64_t before = FileTell(FIn);
    const bool found = Goto(FIn, name);
    FUZZ_CHECK(found == (target != nullptr));
    FUZZ_CHECK(FileTell(FIn) == (found ? target->offset : before));
    // The stream must still read from there.
    char line[LINE_MAX_READ + 1];
    if (fgets(line, sizeof line, FIn) != nullptr) {
        FUZZ_CHECK(strlen(line) <= static_cast<size_t>(LINE_MAX_READ));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const void* nul = memchr(data, 0, size);
    const size_t namesLength = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : 0;
    const uint8_t* names = data;
    const size_t skip = nul != nullptr ? namesLength + 1 : 0;
    const uint8_t* file = data + skip;
    const size_t fileSize = size - skip;

    char* script = static_cast<char*>(malloc(fileSize + 1));
    memcpy(script, file, fileSize);
    FILE* FIn = fmemopen(script, fileSize, "rb");
    FUZZ_CHECK(FIn != nullptr);

    ScanFileForLabels(FIn);
    FUZZ_CHECK(FileTell(FIn) == 0);
    FUZZ_CHECK(!feof(FIn));
    const std::vector<ModelLabel> model = ModelScan(file, fileSize);
    CheckList(model);

    // Each name in a buffer of exactly its size.
    size_t at = 0;
    for (int jumps = 0; at < namesLength && jumps < 16; jumps++) {
        const void* lf = memchr(names + at, '\n', namesLength - at);
        const size_t end = lf != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(lf) - names) : namesLength;
        char* name = static_cast<char*>(malloc(end - at + 1));
        memcpy(name, names + at, end - at);
        name[end - at] = '\0';
        Jump(FIn, model, name);
        free(name);
        at = end + 1;
    }

    fclose(FIn);
    free(script);
    FreeLabels();
    return 0;
}
