// epdshow --probe: what a user runs first with a panel plugged in, and what a bug report asks for.
#ifndef EPDSHOW_PROBE_H
#define EPDSHOW_PROBE_H

// Finds the controllers as the show does and reports each one (place on the bus, product, speed,
// multi ID, band, image buffer, the version texts of its system information), then whether they
// form a panel and of which layout, or why not. Reads each controller's system information and
// sends nothing else: nothing is powered, written or refreshed. Returns 0 when the controllers
// form a panel of a known layout, 1 otherwise.
int probe_controllers();

#endif
