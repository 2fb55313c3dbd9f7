// The console on Windows: console modes, and the console's control events.
#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>
#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

static const DWORD INPUT_RECORDS = 64;
static const int HANDOVER_SIZE = 4096;
static const DWORD READ_CHUNK = 256;

enum { STOP_HANDOVER_MS = 2000, CANCEL_EVERY_MS = 10, INPUT_SLICE_MS = 10 };

static volatile LONG stop_requested = 0;
static HANDLE stop_event = nullptr; // set with stop_requested
static HANDLE stop_seen = nullptr;  // set once the run has seen the request
static HANDLE run_thread = nullptr;
static HANDLE keyboard = INVALID_HANDLE_VALUE;
static HANDLE screen = INVALID_HANDLE_VALUE;
static bool keyboard_is_console = false;
static bool screen_is_console = false;
static DWORD found_keyboard_mode;
static DWORD found_screen_mode;

// Input that is not a console (a pipe, a file) cannot be looked at without
// reading it everywhere this runs (Wine's pipes cannot be peeked at): a
// thread of its own reads it, and hands the bytes over here.
static CRITICAL_SECTION handover_lock;
static HANDLE handover_room; // set when console_read has made room
static unsigned char handover[HANDOVER_SIZE];
static int handover_count = 0;
static bool input_ended = false;

static DWORD WINAPI read_input(LPVOID)
{
    unsigned char chunk[READ_CHUNK];
    for (;;) {
        EnterCriticalSection(&handover_lock);
        bool room = handover_count + static_cast<int>(READ_CHUNK) <= HANDOVER_SIZE;
        LeaveCriticalSection(&handover_lock);
        if (!room) {
            WaitForSingleObject(handover_room, INFINITE);
            continue;
        }
        DWORD got = 0;
        bool read = ReadFile(keyboard, chunk, READ_CHUNK, &got, nullptr) && got > 0;
        EnterCriticalSection(&handover_lock);
        memcpy(handover + handover_count, chunk, got);
        handover_count += static_cast<int>(got);
        input_ended = !read;
        LeaveCriticalSection(&handover_lock);
        if (!read)
            return 0;
    }
}

static int take_handed_over(unsigned char *buffer, int capacity)
{
    EnterCriticalSection(&handover_lock);
    int count = handover_count < capacity ? handover_count : capacity;
    memcpy(buffer, handover, static_cast<size_t>(count));
    memmove(handover, handover + count, static_cast<size_t>(handover_count - count));
    handover_count -= count;
    bool ended = input_ended && handover_count == 0;
    LeaveCriticalSection(&handover_lock);
    SetEvent(handover_room);
    return count > 0 ? count : ended ? -1 : 0;
}

// Called on a thread of its own for Ctrl-C, Ctrl-Break, the console closing
// and the like: the run does the rest, and ends the process itself.
static BOOL WINAPI request_stop(DWORD)
{
    InterlockedExchange(&stop_requested, 1);
    SetEvent(stop_event);
    // A read of the port waits on nothing that could be set: cancel it, and
    // once more each few milliseconds until the run has seen the request, in
    // case it was just starting another.
    for (int waited = 0; waited < STOP_HANDOVER_MS &&
                         WaitForSingleObject(stop_seen, CANCEL_EVERY_MS) == WAIT_TIMEOUT;
         waited += CANCEL_EVERY_MS)
        CancelSynchronousIo(run_thread);
    // The console closing, log-off and shut-down end the process when this
    // returns: give the run the time to put the line back first.
    Sleep(STOP_HANDOVER_MS);
    return TRUE;
}

// A handle is never reused for another standard stream here.
void console_keep_standard_streams() {}

void *console_stop_event()
{
    if (stop_event == nullptr)
        stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return stop_event;
}

void console_catch_stop_signals()
{
    console_stop_event();
    stop_seen = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &run_thread, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(request_stop, TRUE);
}

int console_stop_requested()
{
    if (InterlockedCompareExchange(&stop_requested, 0, 0) == 0)
        return 0;
    SetEvent(stop_seen);
    return 1;
}

void console_release_stop_signals()
{
    SetConsoleCtrlHandler(request_stop, FALSE);
}

void console_end_as_stop_asked()
{
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

void console_begin()
{
    keyboard = GetStdHandle(STD_INPUT_HANDLE);
    screen = GetStdHandle(STD_OUTPUT_HANDLE);
    keyboard_is_console = GetConsoleMode(keyboard, &found_keyboard_mode) != 0;
    if (keyboard_is_console) {
        DWORD raw =
            found_keyboard_mode & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
        // Without the virtual-terminal input mode: the keys are turned into
        // what a VT terminal sends here, the same way on every console, old
        // or new, and an Alt key cannot come as ESC twice.
        SetConsoleMode(keyboard, raw);
    } else {
        InitializeCriticalSection(&handover_lock);
        handover_room = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        HANDLE reader = CreateThread(nullptr, 0, read_input, nullptr, 0, nullptr);
        if (reader == nullptr)
            input_ended = true;
        else
            CloseHandle(reader); // it ends with the input, or with the process
    }
    screen_is_console = GetConsoleMode(screen, &found_screen_mode) != 0;
    if (screen_is_console)
        SetConsoleMode(screen, found_screen_mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

// What a VT terminal sends for a key that has no character of its own;
// nullptr for keys that send nothing (Shift, Ctrl and the like).
static const char *vt_sequence(WORD key)
{
    static const struct {
        WORD key;
        const char *sequence;
    } keys[] = {
        {VK_UP, "\x1b[A"},     {VK_DOWN, "\x1b[B"},  {VK_RIGHT, "\x1b[C"},   {VK_LEFT, "\x1b[D"},
        {VK_HOME, "\x1b[H"},   {VK_END, "\x1b[F"},   {VK_INSERT, "\x1b[2~"}, {VK_DELETE, "\x1b[3~"},
        {VK_PRIOR, "\x1b[5~"}, {VK_NEXT, "\x1b[6~"}, {VK_F1, "\x1bOP"},      {VK_F2, "\x1bOQ"},
        {VK_F3, "\x1bOR"},     {VK_F4, "\x1bOS"},    {VK_F5, "\x1b[15~"},    {VK_F6, "\x1b[17~"},
        {VK_F7, "\x1b[18~"},   {VK_F8, "\x1b[19~"},  {VK_F9, "\x1b[20~"},    {VK_F10, "\x1b[21~"},
        {VK_F11, "\x1b[23~"},  {VK_F12, "\x1b[24~"}, {VK_ESCAPE, "\x1b"},
    };
    for (const auto &entry : keys) {
        if (entry.key == key)
            return entry.sequence;
    }
    return nullptr;
}

// The bytes a VT terminal sends for one key press: its character, after
// ESC when Alt is held (AltGr, which Windows reports as right Alt with left
// Ctrl, gives its character alone), or the key's sequence. Backspace sends
// DEL, as from a VT terminal. Returns how many.
static int key_bytes(const KEY_EVENT_RECORD &key, char bytes[8])
{
    char character = key.wVirtualKeyCode == VK_BACK ? 0x7F : key.uChar.AsciiChar;
    if (character == 0) {
        const char *sequence = vt_sequence(key.wVirtualKeyCode);
        if (sequence == nullptr)
            return 0;
        int length = static_cast<int>(strlen(sequence));
        memcpy(bytes, sequence, static_cast<size_t>(length));
        return length;
    }
    const DWORD alt = LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED;
    const DWORD ctrl = LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED;
    bool alt_gr = (key.dwControlKeyState & alt) != 0 && (key.dwControlKeyState & ctrl) != 0;
    int length = 0;
    if ((key.dwControlKeyState & alt) != 0 && !alt_gr)
        bytes[length++] = 0x1B;
    bytes[length++] = character;
    return length;
}

// The bytes of the key presses waiting in the console's input; other events
// (key releases, focus, mouse, resizing) are taken and dropped.
static int read_console_keys(unsigned char *buffer, int capacity)
{
    DWORD events = 0;
    if (!GetNumberOfConsoleInputEvents(keyboard, &events))
        return -1;
    INPUT_RECORD records[INPUT_RECORDS];
    DWORD wanted = events < INPUT_RECORDS ? events : INPUT_RECORDS;
    // Room for the longest sequence of every key taken.
    if (wanted > static_cast<DWORD>(capacity / 8))
        wanted = static_cast<DWORD>(capacity / 8);
    DWORD got = 0;
    if (wanted == 0 || !ReadConsoleInputA(keyboard, records, wanted, &got))
        return 0;
    int count = 0;
    for (DWORD i = 0; i < got; ++i) {
        const KEY_EVENT_RECORD &key = records[i].Event.KeyEvent;
        if (records[i].EventType != KEY_EVENT || !key.bKeyDown)
            continue;
        char bytes[8];
        int length = key_bytes(key, bytes);
        for (WORD repeat = 0; repeat < key.wRepeatCount && count + length <= capacity; ++repeat) {
            memcpy(buffer + count, bytes, static_cast<size_t>(length));
            count += length;
        }
    }
    return count;
}

bool console_has_keyboard()
{
    return keyboard_is_console;
}

int console_wait_input(int timeout_ms)
{
    // Input handed over by the reading thread is looked at every slice.
    HANDLE events[2] = {console_stop_event(), keyboard};
    DWORD limit = static_cast<DWORD>(keyboard_is_console ? timeout_ms : INPUT_SLICE_MS);
    DWORD woken = WaitForMultipleObjects(keyboard_is_console ? 2 : 1, events, FALSE, limit);
    return !console_stop_requested() && (woken == WAIT_OBJECT_0 + 1 || !keyboard_is_console);
}

int console_read(unsigned char *buffer, int capacity)
{
    return keyboard_is_console ? read_console_keys(buffer, capacity)
                               : take_handed_over(buffer, capacity);
}

int console_write(const unsigned char *bytes, int count)
{
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(screen, bytes, static_cast<DWORD>(count), &written, nullptr) || written == 0)
            return 0;
        bytes += written;
        count -= static_cast<int>(written);
    }
    return 1;
}

// Formatted first and written in one call, through the C library, whose
// text mode ends the lines as the console expects: its printf would hand
// the text over a character at a time, a system call each. A stop request
// cancels a write that waits.
static int write_formatted(FILE *stream, const char *format, va_list arguments)
{
    va_list measured;
    va_copy(measured, arguments);
    int length = vsnprintf(nullptr, 0, format, measured);
    va_end(measured);
    if (length < 0)
        return 0;
    std::vector<char> text(static_cast<size_t>(length) + 1);
    vsnprintf(text.data(), text.size(), format, arguments);
    return fwrite(text.data(), 1, static_cast<size_t>(length), stream) ==
           static_cast<size_t>(length);
}

int console_print(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int written = write_formatted(stdout, format, arguments);
    va_end(arguments);
    return written;
}

// A console takes text as it comes; a pipe cannot be asked whether it has
// room without the native API, so what goes to one may wait for its reader.
int console_show(ConsoleStream stream, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int written = write_formatted(stream == CONSOLE_ERROR ? stderr : stdout, format, arguments);
    va_end(arguments);
    return written;
}

void console_note(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    write_formatted(stderr, format, arguments);
    va_end(arguments);
}

void console_end()
{
    if (keyboard_is_console)
        SetConsoleMode(keyboard, found_keyboard_mode);
    if (screen_is_console)
        SetConsoleMode(screen, found_screen_mode);
}
