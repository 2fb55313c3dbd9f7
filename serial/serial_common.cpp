// What the serial line does the same way on every platform.
#include "serial/serial.h"
#include "serial/transport.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

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

std::string port_value_trouble(const char *port)
{
    const char *scheme_end = strstr(port, "://");
    if (scheme_end != nullptr)
        return std::string(port, scheme_end + 3) +
               " is no kind of port the tool knows: it takes rfc2217:// and socket://";
    if (strchr(port, '/') != nullptr)
        return ""; // a device path
    const char *digits = port;
    if (strncasecmp(digits, "COM", 3) == 0)
        digits += 3;
    digits += strspn(digits, " \t\n\v\f\r");
    digits += *digits == '+' || *digits == '-';
    if (!isdigit(static_cast<unsigned char>(*digits))) {
        std::string trouble = "-p takes a port number, COM<n>, a device path, rfc2217:// or "
                              "socket://";
        struct stat device;
        std::string meant = "/dev/" + std::string(port);
        if (port[0] != '\0' && stat(meant.c_str(), &device) == 0)
            trouble += "\nDid you mean " + meant + "?";
        return trouble;
    }
    if (serial_port_number(port) < 1)
        return "Port numbers start at 1";
    return "";
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
