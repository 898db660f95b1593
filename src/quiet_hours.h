// Quiet hours: windows of the day, in local time, in which no command reaches the panel.
#ifndef EPDSHOW_QUIET_HOURS_H
#define EPDSHOW_QUIET_HOURS_H

#include <bitset>
#include <ctime>
#include <string>

class quiet_hours {
  public:
    static constexpr int seconds_per_day = 24 * 60 * 60;

    // Reads windows "HH:MM-HH:MM" (a window may cross midnight; 24:00 may end one), separated by
    // commas. False, leaving the hours as they were, when the text is not such a list, a window
    // starts where it ends, or the windows together leave no time of the day to show pictures in.
    bool read(const std::string &text);

    bool empty() const { return quiet_minutes.none(); }
    // True when the second of the day (0 to 86399) lies in a window.
    bool covers(int second_of_day) const;
    // The second of the day at which the quiet time holding second_of_day ends; windows that
    // meet or overlap count as one.
    int end_of(int second_of_day) const;
    // Seconds from second_of_day to that end.
    int seconds_left(int second_of_day) const;
    // The windows as read, without blanks: "22:00-07:00,12:30-13:00".
    const std::string &text() const { return windows_text; }

    bool clear = false; // the panel is cleared to white as a window starts

  private:
    std::bitset<24 * 60> quiet_minutes;
    std::string windows_text;
};

// "H:MM" or "HH:MM" as minutes since midnight; 24:00 reads as 1440. The windows of quiet hours
// and of a schedule's `when` read their times with it.
bool read_clock(const std::string &text, int &minutes);

// The wall clock in whole seconds, read through time(), which a virtual clock may stand in for in
// tests.
std::time_t wall_clock();

// Seconds since the local midnight before t.
int local_second_of_day(std::time_t t);

// The first moment after now at which the local clock reads second_of_day: today or tomorrow,
// whatever a change to or from summer time does to the day's length.
std::time_t next_moment_at(std::time_t now, int second_of_day);

// "HH:MM" of a second of the day.
std::string clock_text(int second_of_day);

#endif
