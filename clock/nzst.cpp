// New Zealand Standard Time for the clock command.
#include "clock/nzst.h"

const int MthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int DaysInMonth(int Month, int Year)
{
    if (Month > 12 || Month < 1) {
        return 0;
    }
    // Divisibility by 4 alone: century years count as leap years too.
    if (Month == 2 && (Year & 3) == 0) {
        return 29;
    }
    return MthDays[Month - 1];
}

void AdjustUTCtoNZST(SystemTime* time)
{
    time->wHour = static_cast<uint16_t>(time->wHour + 12);
    if (time->wHour <= 23) {
        return;
    }
    time->wHour = static_cast<uint16_t>(time->wHour - 24);
    time->wDay = static_cast<uint16_t>(time->wDay + 1);
    if (time->wDay <= DaysInMonth(time->wMonth, time->wYear)) {
        return;
    }
    time->wDay = 1;
    time->wMonth = static_cast<uint16_t>(time->wMonth + 1);
    if (time->wMonth <= 12) {
        return;
    }
    time->wMonth = 1;
    time->wYear = static_cast<uint16_t>(time->wYear + 1);
}
