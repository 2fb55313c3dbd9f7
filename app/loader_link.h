// The conversation with the RAM loader once the boot ROM has taken it: its
// greeting, the speed switch and the round trip that proves it, the image
// in blocks with a CRC-32 each, several in flight, and the go byte that
// sends the loader to the image once the line is back at the ROM's speed.
#ifndef DRAMLIFT_LOADER_LINK_H
#define DRAMLIFT_LOADER_LINK_H

#include "app/loader_image.h"

#include <string>

enum LoaderEnd {
    LOADER_BOOTED,      // the image lies in place, and the loader has gone to it
    LOADER_NOT_STARTED, // no greeting within 2 s; what came is in the record of heard
    LOADER_FAILED,      // *why says why
    LOADER_PORT_LOST,
    LOADER_STOPPED,
};

// Talks the loader through the boot of image (its trailer included) at up
// to max_baud, then back at the ROM's speed for the go. A switch that the
// port cannot make, or that the round trip does not prove, is said on
// standard error, and the image goes at the ROM's speed. Before the image
// goes, says on standard output at what speed; progress(percent) follows
// it.
LoaderEnd loader_boot(const LoaderImage &loader, const unsigned char *image, int max_baud,
                      void (*progress)(int percent), std::string *why);

#endif
