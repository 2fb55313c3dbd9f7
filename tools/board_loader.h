// The emulated board's part after a good download: the loader it runs.
#ifndef DRAMLIFT_BOARD_LOADER_H
#define DRAMLIFT_BOARD_LOADER_H

#include <string>

// What the loader says as it starts, right behind the download's last ACK.
extern const char BOARD_LOADER_BANNER[];

// What the board's own loader, from its flash, says as it starts, where the
// boot ROM did not take a serial download.
extern const char BOARD_FLASH_BANNER[];

// Echoes every byte it receives, and answers a line "erase" with a few
// progress lines, like a loader would, and "loadx [ADDR [BAUD]]" and "loady
// [ADDR [BAUD]]" by receiving a file, until the line closes. Appends each
// byte received to the file at typed_path at once, if that is not empty.
// Returns how many bytes it received. A paced loader receives files at the
// pace of the line's speed.
long board_run_loader(const std::string &typed_path, bool paced);

#endif
