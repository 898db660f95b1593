// The program's entry: banner, echo of the playlist path, settings, the show, the stop flag that
// SIGINT and SIGTERM raise and the count of SIGHUPs.
#ifndef EPDSHOW_MAIN_H
#define EPDSHOW_MAIN_H

// Runs the program with the command line given (argv[1] is the playlist path) and returns its
// exit status. Run again in the same process, it starts afresh: the stop flag down, no panel.
int epdshow_main(int argc, char *argv[]);

#endif
