// The program's entry: banner, echo of the playlist path, settings, the show, and the stop flag
// that SIGINT and SIGTERM raise.
#ifndef EPDSHOW_MAIN_H
#define EPDSHOW_MAIN_H

// Runs the program with the command line given (argv[1] is the playlist path) and returns its
// exit status. Run again in the same process, it starts afresh: the stop flag down, no panel.
int epdshow_main(int argc, char *argv[]);

// Whether a hang-up (SIGHUP) came since the entry started. It reopens the log; a later use of the
// hang-up (re-reading the playlist) reads it here.
bool hangup_requested();

#endif
