// torvex-rack built without SQLite (the Windows build, or a system without
// libsqlite3-dev): --record and --history are refused with the reason.
#include "history.h"

#include <cstdio>

namespace {

const char* const NoRecord = "the run record is a Linux feature: this build has no SQLite";

}  // namespace

History* OpenHistory(const std::string&, std::string* why)
{
    *why = NoRecord;
    return nullptr;
}

long long RecordStart(History*, const RunRecord&, std::string*)
{
    return 0;
}

bool RecordEnd(History*, long long, const RunRecord&, std::string*)
{
    return false;
}

std::string PassedEarlier(History*, const std::string&, const std::string&)
{
    return "";
}

void CloseHistory(History*) {}

int PrintHistory(const std::string& path, const std::string&, bool)
{
    fprintf(stderr, "torvex-rack: cannot read the record %s: %s\n", path.c_str(), NoRecord);
    return 2;
}
