// The serial line on Windows, through the Win32 communications API.
#include "serial/serial.h"

#include <cstdio>
#include <windows.h>

typedef HANDLE SerialPort;

static SerialPort open_port = INVALID_HANDLE_VALUE;

// The read time-out in force on the port; -1 until the first read sets one.
static int timeout_in_force_ms = -1;

int serial_open(const char *port)
{
    int number = serial_port_number(port);
    char name[32];
    snprintf(name, sizeof name, "COM%d", number);
    // Through the device namespace, or ports from COM10 on cannot be opened.
    char device[40];
    snprintf(device, sizeof device, "\\\\.\\%s", name);

    open_port =
        CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (open_port == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "Could not open serial port %s.\n", name);
        return 0;
    }
    timeout_in_force_ms = -1;
    return 1;
}

void serial_configure(int baud)
{
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
    SetCommState(open_port, &line);
}

void serial_write(const unsigned char *bytes, int count)
{
    // Without write time-outs WriteFile takes everything; the loop is for a
    // driver that reports less.
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(open_port, bytes, static_cast<DWORD>(count), &written, nullptr) ||
            written == 0)
            return;
        bytes += written;
        count -= static_cast<int>(written);
    }
}

// A port that fails at once (an adapter pulled out) would turn the callers'
// wait loops into a spin: the failed read waits out its time-out instead.
static int failed_read(ULONGLONG start, int timeout_ms)
{
    ULONGLONG waited = GetTickCount64() - start;
    if (waited < static_cast<ULONGLONG>(timeout_ms))
        Sleep(static_cast<DWORD>(timeout_ms - waited));
    return 0;
}

// Takes what has already arrived, up to capacity bytes, without waiting.
static int read_waiting(unsigned char *buffer, int capacity)
{
    DWORD errors;
    COMSTAT status;
    if (!ClearCommError(open_port, &errors, &status) || status.cbInQue == 0)
        return 0;
    DWORD wanted = status.cbInQue < static_cast<DWORD>(capacity) ? status.cbInQue
                                                                 : static_cast<DWORD>(capacity);
    DWORD got = 0;
    if (!ReadFile(open_port, buffer, wanted, &got, nullptr))
        return 0;
    return static_cast<int>(got);
}

int serial_read(unsigned char *buffer, int capacity, int timeout_ms)
{
    if (timeout_ms == 0)
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
    ULONGLONG start = GetTickCount64();
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

void serial_close()
{
    CloseHandle(open_port);
    open_port = INVALID_HANDLE_VALUE;
}
