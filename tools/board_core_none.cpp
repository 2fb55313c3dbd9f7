// The board's core where the emulator is built without Unicorn: there is
// none, and the boot ROM's start of a RAM loader says so.
#include "tools/board_core.h"

bool core_available()
{
    return false;
}

int core_run(const CoreStart &, const UartSetup &, const CoreExpected *)
{
    return 0;
}

CoreWrites core_writes_outside()
{
    return {1, 0};
}
