// The serial ports of a Windows machine: the COM ports that the registry's
// device map lists; and why one could not be used.
#include "serial/serial.h"
#include "serial/transport.h"

#include <windows.h>

std::vector<SerialPortFound> serial_find_ports()
{
    std::vector<SerialPortFound> ports;
    HKEY map;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) !=
        ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0;; ++index) {
        char device[256], name[64];
        DWORD device_size = sizeof device, name_size = sizeof name, type;
        LONG result = RegEnumValueA(map, index, device, &device_size, nullptr, &type,
                                    reinterpret_cast<BYTE *>(name), &name_size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == ERROR_SUCCESS && type == REG_SZ && name_size > 0) {
            name[name_size < sizeof name ? name_size : sizeof name - 1] = '\0';
            ports.push_back({name, ""});
        }
    }
    RegCloseKey(map);
    return ports;
}

std::string win32_error_text(unsigned long error)
{
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.'))
        --length;
    if (length == 0)
        return "Error " + std::to_string(error);
    return std::string(text, length);
}

// For a COM port, access denied means that another program has it open.
std::string local_port_trouble(const std::string &, long error)
{
    if (error == ERROR_ACCESS_DENIED)
        return "It is in use by another program";
    return win32_error_text(static_cast<unsigned long>(error));
}
