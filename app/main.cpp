#include "app/run.h"

int main(int argc, char *argv[])
{
    return dramlift_run(argc, argv);
}
