// The process entry of epdshow and epdshow-sim. It stands apart from the entry in main.cpp, which
// the tests and fuzzers link and call in-process, since they bring their own main.
#include "main.h"

int main(int argc, char *argv[]) {
    return epdshow_main(argc, argv);
}
