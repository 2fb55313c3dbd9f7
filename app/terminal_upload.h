// A file sent from the terminal to a receiver that the user has started on
// the board (U-Boot's loadx or loady, say).
#ifndef DRAMLIFT_TERMINAL_UPLOAD_H
#define DRAMLIFT_TERMINAL_UPLOAD_H

#include "xmodem/xmodem.h"

#include <string>

enum UploadEnd {
    UPLOAD_ENDED,     // sent, or not: said on standard error either way
    UPLOAD_LEFT,      // Ctrl-\ then c during the transfer: the terminal ends
    UPLOAD_STOPPED,   // the process was asked to stop
    UPLOAD_PORT_LOST, // the port went away
};

// Sends the file at path, its progress and its end on standard error. While
// it goes, a keyboard's keys go nowhere, except that Ctrl-\ then c cancels
// the transfer and leaves; input that is not a keyboard waits for later.
UploadEnd upload_file(FileProtocol protocol, const std::string &path);

#endif
