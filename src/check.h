// epdshow --check: a playlist and its pictures read as the show reads them, without USB.
#ifndef EPDSHOW_CHECK_H
#define EPDSHOW_CHECK_H

// Reads the playlist at path and every picture it names, and prints every problem on standard
// output, each naming the file and the line: settings that do not read, elements the reader does
// not know, a rotate that turns nothing, areas that fit a panel of neither layout, pictures that
// cannot be used. Returns 0 when it finds nothing, 1 otherwise.
int check_playlist(const char *path);

#endif
