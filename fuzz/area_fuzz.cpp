// parsing_area against the rule it implements: the text cut at commas as strtok cuts it (runs of
// commas count as one, commas at the ends are ignored), each of the first four fields read as
// atoi reads it, kept within 32 bits (the playlist's own integer rule); members without a field
// are 0.
#include "playlist.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An element's text ends at its first NUL; an exactly sized block lets overreads show.
    size_t length = strnlen(reinterpret_cast<const char *>(data), size);
    std::unique_ptr<char[]> text(new char[length + 1]);
    memcpy(text.get(), data, length);
    text[length] = '\0';

    const dpy_area area = parsing_area(text.get());

    std::unique_ptr<char[]> fields(new char[length + 1]);
    memcpy(fields.get(), text.get(), length + 1);
    int32_t expected[4] = {0, 0, 0, 0};
    int count = 0;
    for (char *field = strtok(fields.get(), ","); field != nullptr && count < 4;
         field = strtok(nullptr, ",")) {
        expected[count++] = read_integer(field);
    }
    if (area.x != expected[0] || area.y != expected[1] || area.w != expected[2] ||
        area.h != expected[3]) {
        fprintf(stderr, "parsing_area(\"%s\") gave %d,%d,%d,%d; expected %d,%d,%d,%d\n", text.get(),
                area.x, area.y, area.w, area.h, expected[0], expected[1], expected[2], expected[3]);
        abort();
    }
    return 0;
}
