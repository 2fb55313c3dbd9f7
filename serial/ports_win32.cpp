// The serial ports of a Windows machine: the COM ports that the registry's
// device map lists.
#include "serial/serial.h"

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
