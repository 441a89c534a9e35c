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

void CutLabelName(const char* name, char out[LABEL_MAX + 1])
{
    int i = 0;
    for (; i < LABEL_MAX && name[i] != '\0'; i++) {
        out[i] = name[i];
    }
    out[i] = '\0';
}

void LabelLineName(char* line, char out[LABEL_MAX + 1])
{
    StripChars(line, "\r\n");
    CutLabelName(line + 1, out);
}

bool ScanFileForLabels(FILE* FIn)
{
    char line[LINE_MAX_READ + 1];
    while (fgets(line, sizeof line, FIn) != nullptr) {
        if (line[0] != ':') {
            continue;
        }
        char name[LABEL_MAX + 1];
        LabelLineName(line, name);
        LabelRec* rec = static_cast<LabelRec*>(malloc(sizeof(LabelRec)));
        if (rec == nullptr) {
            printf("Out of memory indexing label \"%s\".\n", name);
            break;
        }
        rec->Offset = FileTell(FIn);
        memcpy(rec->Label, name, sizeof name);
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
    char name[LABEL_MAX + 1];
    CutLabelName(Label, name);
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
