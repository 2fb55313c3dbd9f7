// The RAM loader's bytes, as the project's build made them from the sources
// in this folder, for the tool to send.
#ifndef DRAMLIFT_RAM_LOADER_H
#define DRAMLIFT_RAM_LOADER_H

extern const unsigned char RAM_LOADER[];
extern const unsigned RAM_LOADER_SIZE;

#endif
