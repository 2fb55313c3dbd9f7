// The command that resets or powers the board (-r): it starts as the wake
// pattern starts to go out, at every try, and its end is part of the run's:
// one that fails ends the run, one that outlives it is ended.
#ifndef DRAMLIFT_RESET_H
#define DRAMLIFT_RESET_H

// The command for this run; nullptr for none.
void reset_prepare(const char *command);

// Starts the command for the next try (DRAMLIFT_TRY counts them), with the
// port's name in DRAMLIFT_PORT; without a command, does nothing. Returns 0
// when it could not start, said on standard error.
bool reset_start();

// Says on standard error how the command failed, once, if it did; returns
// 1 then.
int reset_report_failure();

// Ends a try or the run (`after` names which): a command still running gets
// 10 s more, none on a stop request, then it and what it started are ended,
// and standard error says so. Returns 0 when the command failed, said on
// standard error once; 1 otherwise.
int reset_end(const char *after);

#endif
