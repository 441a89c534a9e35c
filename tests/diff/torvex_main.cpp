// torvex's own run driver, its entry renamed so that the differential test
// can call it in-process on the played platform.
#define main TorvexMain
#include "torvex.cpp"
