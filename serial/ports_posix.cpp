// The serial ports of a POSIX machine: on Linux what sysfs knows of its
// terminals, on macOS the call-out devices; and why one could not be used.
#include "serial/serial.h"
#include "serial/transport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#ifdef __linux__
#include <fstream>
#endif
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Whether the process holds the device open.
static bool holds_open(const std::string &pid, const char *device)
{
    std::string fds = "/proc/" + pid + "/fd";
    bool holds = false;
    for (const std::string &fd : entries(fds.c_str())) {
        char target[PATH_MAX];
        ssize_t length = readlink((fds + "/" + fd).c_str(), target, sizeof target - 1);
        if (length > 0) {
            target[length] = '\0';
            holds = holds || strcmp(target, device) == 0;
        }
    }
    return holds;
}

// The programs that hold the device open, as "name (pid N), ...", where
// /proc lets us see them.
static std::string holders_of(const std::string &device)
{
    std::string holders;
    char wanted[PATH_MAX];
    if (realpath(device.c_str(), wanted) == nullptr)
        return holders;
    for (const std::string &pid : entries("/proc")) {
        if (strtol(pid.c_str(), nullptr, 10) <= 0 || pid == std::to_string(getpid()) ||
            !holds_open(pid, wanted))
            continue;
        char name[64] = "?";
        FILE *comm = fopen(("/proc/" + pid + "/comm").c_str(), "r");
        if (comm != nullptr) {
            if (fgets(name, sizeof name, comm) != nullptr)
                name[strcspn(name, "\n")] = '\0';
            fclose(comm);
        }
        holders += (holders.empty() ? "" : ", ") + std::string(name) + " (pid " + pid + ")";
    }
    return holders;
}

// Who may use a device that the user may not: the group that may read and
// write it, if any.
static std::string permission_trouble(const std::string &name, int error)
{
    struct stat device;
    const group *owners = stat(name.c_str(), &device) == 0 && device.st_gid != 0 &&
                                  (device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)
                              ? getgrgid(device.st_gid)
                              : nullptr;
    if (owners == nullptr)
        return std::string(strerror(error)) + ". Only root may open it";
    const passwd *user = getpwuid(getuid());
    return std::string(strerror(error)) + ". Members of the group " + owners->gr_name +
           " may use it: sudo adduser " + (user != nullptr ? user->pw_name : "$USER") + " " +
           owners->gr_name + ", then log in again";
}

std::string local_port_trouble(const std::string &name, long error)
{
    if (error == TROUBLE_IN_USE || error == EBUSY) {
        std::string holders = holders_of(name);
        return "It is in use by " + (holders.empty() ? "another program" : holders);
    }
    if (error == EACCES || error == EPERM)
        return permission_trouble(name, static_cast<int>(error));
    if (error == ENOTTY)
        return "It is not a serial port";
    if (error == TROUBLE_NUMBERED)
        return "Port numbers name no device here: give the port's path";
    if (error == TROUBLE_SETTINGS_REFUSED)
        return "The driver did not take the settings";
    return strerror(static_cast<int>(error));
}
