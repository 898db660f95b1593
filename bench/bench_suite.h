// The benchmark groups, which main registers before it runs them.
#ifndef EPDSHOW_BENCH_SUITE_H
#define EPDSHOW_BENCH_SUITE_H

namespace bench {

void register_image_path();
void register_upload();
void register_memory();

} // namespace bench

#endif
