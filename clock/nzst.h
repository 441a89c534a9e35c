// New Zealand Standard Time for the clock command: UTC plus twelve hours,
// with no daylight saving.
#pragma once

#include "platform/platform.h"

extern const int MthDays[12];

// Adds twelve hours, carrying into day, month and year. The weekday is left as it was.
void AdjustUTCtoNZST(SystemTime* time);
// Days in a month; 0 for a month outside 1 to 12. Every fourth year is a leap year.
int DaysInMonth(int Month, int Year);
