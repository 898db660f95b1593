// epdshow --plan: what the show would put on the panel, and when, told without USB. It is the
// show's own walk of the playlist on a dry stage, whose clock moves on instead of sleeping.
#ifndef EPDSHOW_PLAN_H
#define EPDSHOW_PLAN_H

#include <ctime>
#include <string>

// The longest plan, in hours: a leap year.
constexpr int plan_hours_bound = 366 * 24;

// Reads a local time "YYYY-MM-DDTHH:MM" (the start of a plan); false when it is not one.
bool read_plan_start(const std::string &text, std::time_t &start);

// Reads a whole number of hours from 1 to plan_hours_bound; false when it is not one.
bool read_plan_hours(const std::string &text, int &hours);

// Prints the plan of the playlist at path from start for hours: one line per picture with the time
// its update starts and its stay, one per wait (quiet hours, nothing to show) and per deep clear,
// and how the plan ends. Returns 1 when the playlist is refused or the show would end with status
// 1, 0 otherwise.
int plan_playlist(const char *path, std::time_t start, int hours);

#endif
