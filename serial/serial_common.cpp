// What the serial line does the same way on every platform.
#include "serial/serial.h"

#include <cctype>
#include <climits>
#include <cstdlib>

int serial_port_number(const char *text)
{
    // What Windows users type, on every platform.
    if (toupper(static_cast<unsigned char>(text[0])) == 'C' &&
        toupper(static_cast<unsigned char>(text[1])) == 'O' &&
        toupper(static_cast<unsigned char>(text[2])) == 'M')
        text += 3;
    long number = strtol(text, nullptr, 10);
    if (number > INT_MAX)
        return INT_MAX;
    if (number < INT_MIN)
        return INT_MIN;
    return static_cast<int>(number);
}

void serial_write_byte(unsigned char byte)
{
    serial_write(&byte, 1);
}

unsigned char serial_read_byte(int timeout_ms)
{
    unsigned char byte;
    return serial_read(&byte, 1, timeout_ms) == 1 ? byte : 0;
}
