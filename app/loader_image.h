// The RAM loader as the boot ROM takes it: a UART image made from the
// user's, whose boot header and register list stay as they are (so that the
// ROM sets DRAM up exactly as for the user's image) but for where the data
// goes and runs, with the loader as its data, placed in DRAM clear of where
// the user's image will lie.
#ifndef DRAMLIFT_LOADER_IMAGE_H
#define DRAMLIFT_LOADER_IMAGE_H

#include <cstdint>
#include <vector>

struct LoaderImage {
    std::vector<unsigned char> bytes; // for the boot ROM's download
    uint32_t address;                 // where the loader lies and runs
    // The user's image as the loader takes it: the file's bytes from the
    // header's data on, trailer included, put where the ROM would put them.
    uint32_t destination;
    uint32_t exec_address;
    uint32_t data_size;
    int payload_offset;
    int payload_size;
};

// Makes the loader's image for the user's UART image of size bytes, its
// trailer included, whose header and data checksum are good. Returns false
// when DRAM has no room for the loader clear of the image.
bool make_loader_image(const unsigned char *image, int size, LoaderImage *loader);

#endif
