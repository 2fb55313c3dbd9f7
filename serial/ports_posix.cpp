// The serial ports of a POSIX machine: on Linux what sysfs knows of its
// terminals, on macOS the call-out devices.
#include "serial/serial.h"

#include <dirent.h>
#ifdef __linux__
#include <fstream>
#endif
#include <limits.h>
#include <stdlib.h>

static std::vector<std::string> entries(const char *folder)
{
    std::vector<std::string> names;
    DIR *dir = opendir(folder);
    if (dir == nullptr)
        return names;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    }
    closedir(dir);
    return names;
}

#ifdef __linux__
// The first line of a small file, or "" where there is none.
static std::string first_line(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// What the USB device behind a terminal calls itself: its maker, its
// product and its serial number, found a few folders above the terminal's
// device (the interface, then the device).
static std::string usb_description(const std::string &tty)
{
    char real[PATH_MAX];
    if (realpath(("/sys/class/tty/" + tty + "/device").c_str(), real) == nullptr)
        return "";
    std::string folder = real;
    for (int up = 0; up < 4 && folder.size() > 1; ++up) {
        std::string product = first_line(folder + "/product");
        if (!product.empty()) {
            std::string maker = first_line(folder + "/manufacturer");
            std::string serial = first_line(folder + "/serial");
            std::string description = maker.empty() || product.compare(0, maker.size(), maker) == 0
                                          ? product
                                          : maker + " " + product;
            return serial.empty() ? description : description + ", serial " + serial;
        }
        folder.erase(folder.rfind('/'));
    }
    return "";
}

// Terminals with a device behind them; a ttyS whose UART type is 0 has no
// UART at all, and the kernel would refuse to open it.
std::vector<SerialPortFound> serial_find_ports()
{
    std::vector<SerialPortFound> ports;
    for (const std::string &tty : entries("/sys/class/tty")) {
        std::string folder = "/sys/class/tty/" + tty;
        char real[PATH_MAX];
        if (realpath((folder + "/device").c_str(), real) == nullptr)
            continue;
        if (tty.compare(0, 4, "ttyS") == 0 && first_line(folder + "/type") == "0")
            continue;
        ports.push_back({"/dev/" + tty, usb_description(tty)});
    }
    return ports;
}
#else
std::vector<SerialPortFound> serial_find_ports()
{
    std::vector<SerialPortFound> ports;
    for (const std::string &name : entries("/dev")) {
        if (name.compare(0, 3, "cu.") == 0)
            ports.push_back({"/dev/" + name, ""});
    }
    return ports;
}
#endif
