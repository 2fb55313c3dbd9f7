#include "serial/serial.h"

#include <climits>
#include <cstdlib>

int serial_port_number(const char *text)
{
    long number = strtol(text, nullptr, 10);
    if (number > INT_MAX)
        return INT_MAX;
    if (number < INT_MIN)
        return INT_MIN;
    return static_cast<int>(number);
}
