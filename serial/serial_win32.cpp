// The serial line on Windows, through the Win32 communications API.
#include "serial/serial.h"

#include "console/console.h"
#include "serial/net.h"

#include <cstdio>
#include <string>
#include <windows.h>

enum { DRAIN_LIMIT_MS = 1000, WAIT_SLICE_MS = 10 };

typedef HANDLE SerialPort;

static SerialPort open_port = INVALID_HANDLE_VALUE;
static std::string port_name;
static bool port_lost = false;
// A port on a port server, which net_win32.cpp serves.
static NetKind net = NET_NONE;

// The read time-out in force on the port; -1 until the first read sets one.
static int timeout_in_force_ms = -1;

// What serial_close puts back: the settings and time-outs found at open.
static DCB found_line;
static COMMTIMEOUTS found_timeouts;
static bool found = false;
static bool line_changed = false;

// Says, indented under the failure's message, why the port could not be
// used, in the system's words, then which ports there are. For a COM port,
// access denied means that another program has it open.
static void explain(DWORD error)
{
    if (error == ERROR_ACCESS_DENIED) {
        fprintf(stderr, "  It is in use by another program.\n");
    } else {
        fprintf(stderr, "  %s.\n", win32_error_text(error).c_str());
    }
    serial_list_ports();
}

int serial_open(const char *port)
{
    net = net_kind(port);
    if (net != NET_NONE) {
        port_name = port;
        return net_win32_open(port);
    }
    port_name = "COM" + std::to_string(serial_port_number(port));
    // Through the device namespace, or ports from COM10 on cannot be opened.
    std::string device = "\\\\.\\" + port_name;

    open_port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
    if (open_port == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        fprintf(stderr, "Could not open serial port %s.\n", port_name.c_str());
        explain(error);
        return 0;
    }
    found_line.DCBlength = sizeof found_line;
    found = GetCommState(open_port, &found_line) && GetCommTimeouts(open_port, &found_timeouts);
    port_lost = false;
    line_changed = false;
    timeout_in_force_ms = -1;
    return 1;
}

int serial_configure(int baud)
{
    if (net != NET_NONE)
        return net_configure(net, baud);
    PurgeComm(open_port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    // A raw line: every byte passes unchanged, and no flow control, hardware
    // or software, ever holds a transfer back.
    DCB line = {};
    line.DCBlength = sizeof line;
    line.BaudRate = static_cast<DWORD>(baud);
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.fParity = FALSE;
    line.StopBits = ONESTOPBIT;
    line.fBinary = TRUE;
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDtrControl = DTR_CONTROL_DISABLE;
    line.fDsrSensitivity = FALSE;
    line.fTXContinueOnXoff = TRUE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.XonChar = 0x11;
    line.XoffChar = 0x13;
    line.XonLim = 0;
    line.XoffLim = 0;
    line.fErrorChar = FALSE;
    line.ErrorChar = 0;
    line.fNull = FALSE;
    line.fAbortOnError = FALSE;
    line.EofChar = 0;
    line.EvtChar = 0;
    line.fRtsControl = RTS_CONTROL_DISABLE;
    line_changed = true;
    if (!SetCommState(open_port, &line)) {
        DWORD error = GetLastError();
        fprintf(stderr, "Could not configure serial port %s.\n", port_name.c_str());
        explain(error);
        return 0;
    }
    return 1;
}

void serial_write(const unsigned char *bytes, int count)
{
    if (net != NET_NONE) {
        net_win32_write(bytes, count);
        return;
    }
    // Without write time-outs WriteFile takes everything; the loop is for a
    // driver that reports less.
    while (count > 0 && !port_lost) {
        DWORD written = 0;
        if (!WriteFile(open_port, bytes, static_cast<DWORD>(count), &written, nullptr)) {
            // A stop request cancels a write that waits, and the rest stays unsent.
            port_lost = !serial_stop_requested();
            return;
        }
        if (written == 0)
            return; // a write time-out left by another program
        bytes += written;
        count -= static_cast<int>(written);
    }
}

// A port that fails (an adapter pulled out) would fail again at once on
// every read and turn the callers' wait loops into a spin: the failed read
// waits out its time-out instead, or until a stop request. A read that the
// stop request cancelled has not failed.
static int failed_read(ULONGLONG start, int timeout_ms)
{
    if (serial_stop_requested())
        return 0;
    port_lost = true;
    ULONGLONG waited = GetTickCount64() - start;
    if (waited < static_cast<ULONGLONG>(timeout_ms))
        WaitForSingleObject(console_stop_event(), static_cast<DWORD>(timeout_ms - waited));
    return 0;
}

// Takes what has already arrived, up to capacity bytes, without waiting.
static int read_waiting(unsigned char *buffer, int capacity)
{
    DWORD errors;
    COMSTAT status;
    if (!ClearCommError(open_port, &errors, &status)) {
        port_lost = true;
        return 0;
    }
    if (status.cbInQue == 0)
        return 0;
    DWORD wanted = status.cbInQue < static_cast<DWORD>(capacity) ? status.cbInQue
                                                                 : static_cast<DWORD>(capacity);
    DWORD got = 0;
    if (!ReadFile(open_port, buffer, wanted, &got, nullptr)) {
        port_lost = true;
        return 0;
    }
    return static_cast<int>(got);
}

int serial_read(unsigned char *buffer, int capacity, int timeout_ms)
{
    if (net != NET_NONE)
        return net_win32_read(buffer, capacity, timeout_ms);
    ULONGLONG start = GetTickCount64();
    if (port_lost)
        return failed_read(start, timeout_ms);
    if (timeout_ms == 0 || serial_stop_requested())
        return read_waiting(buffer, capacity);

    // One byte, as soon as it is there or when the time-out has passed.
    // Each call to the driver costs a round trip through a USB adapter's
    // driver: the time-outs are set only when they change.
    if (timeout_ms != timeout_in_force_ms) {
        COMMTIMEOUTS timeouts = {};
        timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout_ms);
        SetCommTimeouts(open_port, &timeouts);
        timeout_in_force_ms = timeout_ms;
    }
    DWORD got = 0;
    if (!ReadFile(open_port, buffer, 1, &got, nullptr))
        return failed_read(start, timeout_ms);
    if (got == 0 || capacity == 1)
        return static_cast<int>(got);
    return 1 + read_waiting(buffer + 1, capacity - 1);
}

long long serial_clock_ms()
{
    return static_cast<long long>(GetTickCount64());
}

int serial_wait_input(int timeout_ms, bool watch_stdin)
{
    // A port opened for plain blocking input cannot be waited on together
    // with the console: look at both every slice. A console wakes the wait
    // as soon as a key comes; other input is named every slice for the
    // caller to look at.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    bool console = watch_stdin && GetFileType(input) == FILE_TYPE_CHAR;
    ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    while (!serial_stop_requested()) {
        DWORD errors;
        COMSTAT status;
        if (net != NET_NONE ? net_win32_has_input()
                            : !ClearCommError(open_port, &errors, &status) || status.cbInQue > 0)
            return SERIAL_INPUT_LINE; // the read that follows tells which
        if (console) {
            if (WaitForSingleObject(input, WAIT_SLICE_MS) == WAIT_OBJECT_0)
                return SERIAL_INPUT_STDIN;
        } else {
            Sleep(WAIT_SLICE_MS);
            if (watch_stdin)
                return SERIAL_INPUT_STDIN;
        }
        if (GetTickCount64() >= until)
            return 0;
    }
    return 0;
}

int serial_stop_requested()
{
    return console_stop_requested();
}

int serial_lost()
{
    return net != NET_NONE ? net_win32_lost() : port_lost;
}

const char *serial_name()
{
    return port_name.c_str();
}

// Lets what is still queued for the port go out, but only for so long: a
// port that has stopped sending must not hold the exit up.
static void drain_output()
{
    ULONGLONG limit = GetTickCount64() + DRAIN_LIMIT_MS;
    DWORD errors;
    COMSTAT status;
    while (ClearCommError(open_port, &errors, &status) && status.cbOutQue > 0 &&
           GetTickCount64() < limit)
        Sleep(10);
}

void serial_close()
{
    if (net != NET_NONE) {
        net_win32_close();
        net = NET_NONE;
        return;
    }
    if (line_changed && found && !port_lost) {
        drain_output();
        SetCommState(open_port, &found_line);
        SetCommTimeouts(open_port, &found_timeouts);
    }
    CloseHandle(open_port);
    open_port = INVALID_HANDLE_VALUE;
}
