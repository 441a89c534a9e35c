// The COMn names that stand for serial ports off Windows: COMn is /dev/ttyS(n-1).
// torvex takes these, and torvex-ports suggests no other.
#pragma once

constexpr long COM_NUMBER_MAX = 256;
