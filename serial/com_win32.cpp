// The local port on Windows: a COM port, through the Win32 communications
// API.
#include "serial/transport.h"
#include "serial/wait.h"

#include <windows.h>

enum { DRAIN_LIMIT_MS = 1000, WRITE_LIMIT_MS = 2000, FIRST_READ_TIMEOUT_MS = 50 };

typedef HANDLE SerialPort;

static SerialPort com = INVALID_HANDLE_VALUE;

// The read time-out in force on the port.
static int timeout_in_force_ms = -1;

// What close puts back: the settings and time-outs found at open.
static DCB found_line;
static COMMTIMEOUTS found_timeouts;
static bool found = false;
static bool line_changed = false;

static int com_open(const char *port, long long, std::string *name, std::string *why)
{
    *name = "COM" + std::to_string(serial_port_number(port));
    // Through the device namespace, or ports from COM10 on cannot be opened.
    std::string device = "\\\\.\\" + *name;
    com = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                      nullptr);
    if (com == INVALID_HANDLE_VALUE) {
        *why = local_port_trouble(*name, static_cast<long>(GetLastError()));
        return STEP_FAILED;
    }
    found_line.DCBlength = sizeof found_line;
    found = GetCommState(com, &found_line) && GetCommTimeouts(com, &found_timeouts);
    line_changed = false;
    timeout_in_force_ms = -1;
    return STEP_DONE;
}

// A read returns after its time-out with what has come, at least one byte;
// a write that the line does not take within its limit returns short, and
// the port counts as gone. Each call to the driver costs a round trip
// through a USB adapter's driver: the time-outs are set only when they
// change.
static void set_read_timeout(int timeout_ms)
{
    if (timeout_ms == timeout_in_force_ms)
        return;
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout_ms);
    timeouts.WriteTotalTimeoutConstant = WRITE_LIMIT_MS;
    SetCommTimeouts(com, &timeouts);
    timeout_in_force_ms = timeout_ms;
}

static int com_configure(int baud, std::string *why)
{
    PurgeComm(com, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

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
    if (!SetCommState(com, &line)) {
        *why = local_port_trouble(serial_name(), static_cast<long>(GetLastError()));
        return STEP_FAILED;
    }
    set_read_timeout(FIRST_READ_TIMEOUT_MS);
    return STEP_DONE;
}

// A call that failed: cancelled by a stop request (never a port that has
// gone), or a port that has gone.
static int failure()
{
    return GetLastError() == ERROR_OPERATION_ABORTED ? 0 : IO_LOST;
}

// Takes what has already arrived, up to capacity bytes, without waiting.
static int read_waiting(unsigned char *buffer, int capacity)
{
    DWORD errors;
    COMSTAT status;
    if (!ClearCommError(com, &errors, &status))
        return IO_LOST;
    if (status.cbInQue == 0)
        return 0;
    DWORD wanted = status.cbInQue < static_cast<DWORD>(capacity) ? status.cbInQue
                                                                 : static_cast<DWORD>(capacity);
    DWORD got = 0;
    if (!ReadFile(com, buffer, wanted, &got, nullptr))
        return failure();
    return static_cast<int>(got);
}

static int com_receive(unsigned char *buffer, int capacity, long long deadline_ms)
{
    long long timeout_ms = deadline_ms - serial_clock_ms();
    if (timeout_ms <= 0 || port_stop_requested())
        return read_waiting(buffer, capacity);
    // One byte, as soon as it is there or when the time-out has passed; a
    // stop request cancels the read.
    set_read_timeout(static_cast<int>(timeout_ms));
    DWORD got = 0;
    if (!ReadFile(com, buffer, 1, &got, nullptr))
        return failure();
    if (got == 0 || capacity == 1)
        return static_cast<int>(got);
    int more = read_waiting(buffer + 1, capacity - 1);
    return more == IO_LOST ? IO_LOST : 1 + more;
}

static int com_send(const unsigned char *bytes, int count, long long)
{
    DWORD written = 0;
    if (!WriteFile(com, bytes, static_cast<DWORD>(count), &written, nullptr) &&
        failure() == IO_LOST)
        return IO_LOST;
    return static_cast<int>(written);
}

static int has_input()
{
    DWORD errors;
    COMSTAT status;
    return !ClearCommError(com, &errors, &status) || status.cbInQue > 0;
}

static int com_wait_input(int timeout_ms, bool watch_stdin)
{
    return port_wait_input(has_input, timeout_ms, watch_stdin);
}

// Lets what is still queued for the port go out, but only for so long: a
// port that has stopped sending must not hold the exit up.
static void drain_output()
{
    long long limit = serial_clock_ms() + DRAIN_LIMIT_MS;
    DWORD errors;
    COMSTAT status;
    while (ClearCommError(com, &errors, &status) && status.cbOutQue > 0 &&
           serial_clock_ms() < limit)
        port_sleep_until(serial_clock_ms() + 10);
}

static void com_close(bool lost)
{
    if (com == INVALID_HANDLE_VALUE)
        return;
    if (line_changed && found && !lost) {
        drain_output();
        SetCommState(com, &found_line);
        SetCommTimeouts(com, &found_timeouts);
    }
    CloseHandle(com);
    com = INVALID_HANDLE_VALUE;
}

const Transport LOCAL_TRANSPORT = {com_open,       com_configure, com_receive, com_send,
                                   com_wait_input, com_close,     true};
