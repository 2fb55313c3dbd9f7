// The listing of the machine's serial ports that follows a port failure.
#include "serial/serial.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

enum { LISTED_AT_MOST = 16 };

// ttyS2 before ttyS10, COM2 before COM10: the name's stem, then its number.
static bool comes_before(const SerialPortFound &a, const SerialPortFound &b)
{
    size_t a_stem = a.name.find_last_not_of("0123456789") + 1;
    size_t b_stem = b.name.find_last_not_of("0123456789") + 1;
    int order = a.name.compare(0, a_stem, b.name, 0, b_stem);
    if (order != 0)
        return order < 0;
    long a_number = strtol(a.name.c_str() + a_stem, nullptr, 10);
    long b_number = strtol(b.name.c_str() + b_stem, nullptr, 10);
    return a_number != b_number ? a_number < b_number : a.name < b.name;
}

void serial_list_ports()
{
    std::vector<SerialPortFound> ports = serial_find_ports();
    if (ports.empty()) {
        fprintf(stderr, "  No serial ports found here.\n");
        return;
    }
    std::sort(ports.begin(), ports.end(), comes_before);
    std::string listing;
    for (size_t i = 0; i < ports.size() && i < LISTED_AT_MOST; ++i) {
        listing += i == 0 ? "" : ", ";
        listing += ports[i].name;
        if (!ports[i].description.empty())
            listing += " (" + ports[i].description + ")";
    }
    if (ports.size() > LISTED_AT_MOST)
        listing += ", and " + std::to_string(ports.size() - LISTED_AT_MOST) + " more";
    fprintf(stderr, "  Serial ports here: %s.\n", listing.c_str());
}
