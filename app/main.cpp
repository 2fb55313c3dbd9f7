#include "app/run.h"
#include "console/console.h"

int main(int argc, char *argv[])
{
    int status = dramlift_run(argc, argv);
    if (status == RUN_STOPPED)
        console_end_as_stop_asked();
    return status;
}
