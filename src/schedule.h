// When a group, a folder or a picture of the playlist is shown: its `when` attribute, read once,
// asked whether it holds at a moment and when something it governs next becomes due.
#ifndef EPDSHOW_SCHEDULE_H
#define EPDSHOW_SCHEDULE_H

#include <bitset>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class schedule {
  public:
    // Reads a `when` text: alternatives separated by ';', any of which may hold, each made of
    // parts separated by blanks, all of which must hold. A part is weekdays ("Mon-Fri",
    // "Sat,Sun", "Fri-Mon"), windows of the local time as quiet hours read them ("06:30-11:00",
    // "22:00-02:00,12:00-13:00") or dates ("2026-12-01..2026-12-24", "2026-12-24"), inclusive.
    // False when the text does not read, with what does not read in problem ("'Mnday' does not
    // read"); the schedule is then left as it was.
    bool read(const std::string &text, std::string &problem);

    // Without a `when` a schedule always holds.
    bool always() const { return alternatives.empty(); }
    bool holds(std::time_t t) const;
    // The alternatives that can never hold, each as written with the reason: "'Sat,Sun
    // 2026-12-07..2026-12-11' can never hold: none of its dates falls on its weekdays".
    std::vector<std::string> never_holding() const;
    // Whether this and other can hold at the same moment, one day or another.
    bool can_hold_with(const schedule &other) const;

    // The first moment after `after` at which due holds, or none when it never will. due is to
    // hold only while some of the schedules hold, and only as an and/or of them: it then changes
    // only where one of them starts to hold.
    static std::optional<std::time_t> first_moment(const std::vector<const schedule *> &schedules,
                                                   std::time_t after,
                                                   const std::function<bool(std::time_t)> &due);

    // What a `when` may hold, for the message about one that does not read.
    static const char *const expected;

  private:
    static constexpr int minutes_per_day = 24 * 60;
    using day_number = long; // days since 1970-01-01

    struct alternative {
        std::string text;
        std::bitset<7> weekdays = std::bitset<7>().set(); // Monday first
        std::bitset<minutes_per_day> minutes = std::bitset<minutes_per_day>().set();
        day_number first_day = -1000000000; // no date: every day
        day_number last_day = 1000000000;
        std::string never; // why it can never hold, "" when it can
    };

    static bool read_alternative(const std::string &text, alternative &out, std::string &problem);
    static bool read_part(const std::string &part, alternative &out);
    static std::string why_never(const alternative &a);
    static bool holds_on(const alternative &a, day_number day, int minute);

    std::vector<alternative> alternatives;
};

#endif
