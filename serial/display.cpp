// Escaped display of raw bytes for debug mode.
#include "serial/display.h"

#include <cstdio>

void DisplayString(const char* bytes, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
        case 0: printf("\\0"); break;
        case 7: printf("\\a"); break;
        case 8: printf("\\b"); break;
        case 9: printf("\\t"); break;
        case 10: printf("\\n"); break;
        case 11: printf("\\v"); break;
        case 12: printf("\\f"); break;
        case 13: printf("\\r"); break;
        default:
            if (c >= 32 && c <= 127) {
                printf("%c", c);
            } else {
                printf("\\x%02X", c);
            }
        }
    }
    printf("\"\n");
}
