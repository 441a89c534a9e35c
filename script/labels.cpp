// The label index: every ":" line of the script and where the line after it starts.
#include "script/labels.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "run/text.h"
#include "script/source.h"

LabelRec* Labels = nullptr;

bool ScanFileForLabels(FILE* FIn)
{
    char line[LINE_MAX_READ + 1];
    while (fgets(line, sizeof line, FIn) != nullptr) {
        if (line[0] != ':') {
            continue;
        }
        StripChars(line, "\r\n");
        LabelRec* rec = static_cast<LabelRec*>(malloc(sizeof(LabelRec)));
        if (rec == nullptr) {
            printf("Out of memory indexing label \"%.39s\".\n", line + 1);
            break;
        }
        rec->Offset = FileTell(FIn);
        // Longer names are cut to the field.
        snprintf(rec->Label, sizeof rec->Label, "%.39s", line + 1);
        rec->Next = Labels;
        Labels = rec;
    }
    // rewind clears the error state, so look first.
    if (ferror(FIn)) {
        ScriptReadFailed(errno);
        return false;
    }
    rewind(FIn);
    return true;
}

bool Goto(FILE* FIn, const char* Label)
{
    // Names are kept to 39 characters, so a long name is looked up by as many.
    char name[LABEL_MAX + 1];
    snprintf(name, sizeof name, "%.39s", Label);
    for (const LabelRec* rec = Labels; rec != nullptr; rec = rec->Next) {
        if (EqualNoCase(rec->Label, name)) {
            if (!FileSeek(FIn, rec->Offset)) {
                printf("Error jumping to label \"%s\": %s\n", Label, strerror(errno));
                return false;
            }
            return true;
        }
    }
    printf("Label \"%s\" not found.\n", Label);
    return false;
}
