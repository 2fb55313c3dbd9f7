// The command that resets or powers the board (-r): it starts as the wake
// pattern starts to go out, at every try, and belongs to the boot. Until the
// boot is over, its failure ends the try and the run; then it has 10 s more,
// beside the terminal if there is one, and is ended with what it started.
// A failure is said on standard error once, and fails the run whenever it
// comes.
#ifndef DRAMLIFT_RESET_H
#define DRAMLIFT_RESET_H

// The command for this run; nullptr for none.
void reset_prepare(const char *command);

// Starts the command for the next try (DRAMLIFT_TRY counts them), with the
// port's name in DRAMLIFT_PORT; without a command, does nothing. Returns
// false when it could not start, said on standard error.
bool reset_start();

// Whether the command has failed; says how on standard error, once.
bool reset_failed();

// Before the next try: a command still running gets 10 s more, none on a
// stop request, then it and what it started are ended, and standard error
// says so. Returns false when it failed.
bool reset_end_try();

// The boot is over, whichever way: the command's last 10 s start, and its
// failure no longer ends the waits on the line.
void reset_boot_over();

// While the terminal runs beside the command: says its failure as soon as
// it comes, and ends it once its time is up; a notice starts on a line of
// its own, if *mid_line says that the screen's is open, and closes it.
// Returns how many milliseconds are left until the command's time is up,
// or -1 when there is nothing more to watch.
int reset_watch(bool *mid_line);

// Ends the run's command: after the rest of its 10 s, or at once (the
// terminal was left). Returns false when it failed.
bool reset_end_run(bool at_once);

#endif
