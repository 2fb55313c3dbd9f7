// What the console shows of a transfer under way: the boot download's
// percentage on standard output, a file's from the terminal on standard
// error. Each is shown only when the console takes it at once: a console
// that nobody reads never holds the line up, and it shows the newest state
// once it takes text again.
#ifndef DRAMLIFT_PROGRESS_H
#define DRAMLIFT_PROGRESS_H

// The boot download's: at its first call the waiting notice is blanked and,
// unless shown is false, "Downloading boot code...(  0%)" takes its place;
// each later call that changes the percentage steps back over it and
// writes the new one.
void boot_progress_begin(bool shown);
void boot_progress(int percent);

// A file's: "Sending 'fw.bin' by YMODEM: 42%" on a line of its own, shown
// at once at 0 %, then each time the percentage changes.
void file_progress_begin(const char *path, const char *protocol);
void file_progress(int percent);

#endif
