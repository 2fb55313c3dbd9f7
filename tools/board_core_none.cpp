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

const std::vector<CoreWrites> &core_writes_outside()
{
    static const std::vector<CoreWrites> none;
    return none;
}
