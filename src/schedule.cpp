#include "schedule.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "quiet_hours.h"
#include "tool.h"

namespace {

const char *const blanks = " \t\r\n";

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return pieces;
        }
        start = end + 1;
    }
}

std::vector<std::string> blank_separated(const std::string &text) {
    std::vector<std::string> words;
    size_t start = text.find_first_not_of(blanks);
    while (start != std::string::npos) {
        const size_t end = text.find_first_of(blanks, start);
        words.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(blanks, end);
    }
    return words;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long days_from_civil(long year, int month, int day) {
    year -= month <= 2;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long year_of_era = year - era * 400;
    const long day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

bool leap_year(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// "YYYY-MM-DD", a date that exists, as days since 1970-01-01.
bool read_date(const std::string &text, long &day) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return false;
    }
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    const int year = std::stoi(text.substr(0, 4));
    const int month = std::stoi(text.substr(5, 2));
    const int month_day = std::stoi(text.substr(8, 2));
    static const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || month_day < 1 ||
        month_day > month_days[month - 1] + (month == 2 && leap_year(year))) {
        return false;
    }
    day = days_from_civil(year, month, month_day);
    return true;
}

// Monday is 0; 1970-01-01 was a Thursday.
int weekday_of(long day) {
    return static_cast<int>(((day % 7) + 7 + 3) % 7);
}

bool read_weekday(const std::string &text, int &weekday) {
    static const char *const names[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (int i = 0; i < 7; ++i) {
        if (lower == names[i]) {
            weekday = i;
            return true;
        }
    }
    return false;
}

// "Mon", "Mon-Fri", "Fri-Mon" (over the weekend), in a list separated by commas.
bool read_weekdays(const std::string &text, std::bitset<7> &days) {
    days.reset();
    for (const std::string &item : split(text, ',')) {
        const size_t dash = item.find('-');
        int first = 0, last = 0;
        if (!read_weekday(item.substr(0, dash), first) ||
            !read_weekday(dash == std::string::npos ? item : item.substr(dash + 1), last)) {
            return false;
        }
        for (int day = first;; day = (day + 1) % 7) {
            days.set(static_cast<size_t>(day));
            if (day == last) {
                break;
            }
        }
    }
    return true;
}

// "HH:MM-HH:MM" windows separated by commas, read as quiet hours read theirs; a window may cross
// midnight, 00:00-24:00 is the whole day and one that ends where it starts leaves no time.
template <size_t minutes_per_day>
bool read_windows(const std::string &text, std::bitset<minutes_per_day> &minutes) {
    const int day = static_cast<int>(minutes_per_day);
    minutes.reset();
    for (const std::string &window : split(text, ',')) {
        const size_t dash = window.find('-');
        int from = 0, to = 0;
        if (dash == std::string::npos || !read_clock(window.substr(0, dash), from) ||
            !read_clock(window.substr(dash + 1), to)) {
            return false;
        }
        if (from == to) {
            continue;
        }
        int minute = from % day;
        do {
            minutes.set(static_cast<size_t>(minute));
            minute = (minute + 1) % day;
        } while (minute != to % day);
    }
    return true;
}

// The local day and minute of the day of t.
void local_day_and_minute(std::time_t t, long &day, int &minute) {
    std::tm local = {};
    localtime_r(&t, &local);
    day = days_from_civil(local.tm_year + 1900L, local.tm_mon + 1, local.tm_mday);
    minute = local.tm_hour * 60 + local.tm_min;
}

// The moment a local day and minute begins.
std::time_t moment_of(long day, int minute) {
    std::tm local = {};
    local.tm_year = 70;
    local.tm_mday = 1 + static_cast<int>(day);
    local.tm_hour = minute / 60;
    local.tm_min = minute % 60;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

} // namespace

const char *const schedule::expected =
    "weekdays (Mon-Fri, Sat,Sun), windows of the local time (06:30-11:00, 22:00-02:00) or dates "
    "(2026-12-01..2026-12-24, 2026-12-24), joined by blanks; alternatives separated by ';'";

bool schedule::read(const std::string &text, std::string &problem) {
    std::vector<alternative> read_ones;
    for (const std::string &written : split(text, ';')) {
        alternative one;
        if (!read_alternative(trimmed(written), one, problem)) {
            return false;
        }
        read_ones.push_back(std::move(one));
    }
    alternatives = std::move(read_ones);
    return true;
}

bool schedule::read_alternative(const std::string &text, alternative &out, std::string &problem) {
    out.text = text;
    const std::vector<std::string> parts = blank_separated(text);
    if (parts.empty()) {
        problem = "an alternative is empty";
        return false;
    }
    for (const std::string &part : parts) {
        if (!read_part(part, out)) {
            problem = "'" + part + "' does not read";
            return false;
        }
    }
    if (out.never.empty()) {
        out.never = why_never(out);
    }
    return true;
}

bool schedule::read_part(const std::string &part, alternative &out) {
    if (std::isdigit(static_cast<unsigned char>(part[0])) && part.find(':') == std::string::npos) {
        const size_t dots = part.find("..");
        day_number first = 0, last = 0;
        if (!read_date(part.substr(0, dots), first) ||
            !read_date(dots == std::string::npos ? part : part.substr(dots + 2), last)) {
            return false;
        }
        if (last < first && out.never.empty()) {
            out.never = "its dates end before they begin";
        }
        out.first_day = std::max(out.first_day, first);
        out.last_day = std::min(out.last_day, last);
        return true;
    }
    if (part.find(':') != std::string::npos) {
        std::bitset<minutes_per_day> minutes;
        if (!read_windows(part, minutes)) {
            return false;
        }
        if (minutes.none() && out.never.empty()) {
            out.never = "its windows leave no time";
        }
        out.minutes &= minutes;
        return true;
    }
    std::bitset<7> days;
    if (!read_weekdays(part, days)) {
        return false;
    }
    out.weekdays &= days;
    return true;
}

std::string schedule::why_never(const alternative &a) {
    if (a.last_day < a.first_day) {
        return "its dates have no day in common";
    }
    if (a.minutes.none()) {
        return "its windows have no time in common";
    }
    if (a.weekdays.none()) {
        return "its weekdays have no day in common";
    }
    if (a.last_day - a.first_day < 7) {
        for (day_number day = a.first_day; day <= a.last_day; ++day) {
            if (a.weekdays.test(static_cast<size_t>(weekday_of(day)))) {
                return "";
            }
        }
        return "none of its dates falls on its weekdays";
    }
    return "";
}

bool schedule::holds_on(const alternative &a, day_number day, int minute) {
    return day >= a.first_day && day <= a.last_day &&
           a.weekdays.test(static_cast<size_t>(weekday_of(day))) &&
           a.minutes.test(static_cast<size_t>(minute));
}

bool schedule::holds(std::time_t t) const {
    if (always()) {
        return true;
    }
    day_number day = 0;
    int minute = 0;
    local_day_and_minute(t, day, minute);
    return std::any_of(alternatives.begin(), alternatives.end(),
                       [&](const alternative &a) { return holds_on(a, day, minute); });
}

std::vector<std::string> schedule::never_holding() const {
    std::vector<std::string> reasons;
    for (const alternative &a : alternatives) {
        if (!a.never.empty()) {
            reasons.push_back("'" + a.text + "' can never hold: " + a.never);
        }
    }
    return reasons;
}

bool schedule::can_hold_with(const schedule &other) const {
    const std::vector<alternative> every_time(1);
    const std::vector<alternative> &mine = always() ? every_time : alternatives;
    const std::vector<alternative> &theirs = other.always() ? every_time : other.alternatives;
    for (const alternative &a : mine) {
        for (const alternative &b : theirs) {
            alternative both;
            both.weekdays = a.weekdays & b.weekdays;
            both.minutes = a.minutes & b.minutes;
            both.first_day = std::max(a.first_day, b.first_day);
            both.last_day = std::min(a.last_day, b.last_day);
            if (why_never(both).empty()) {
                return true;
            }
        }
    }
    return false;
}

// Something governed by schedules starts to be due at the start of a local day or of a run of
// minutes of one of them. A day more than a week after the first day searched and than the first
// day of every date range holds, at each minute, at most what the same weekday a week earlier held
// (date ranges only end meanwhile): those days are not searched.
std::optional<std::time_t> schedule::first_moment(const std::vector<const schedule *> &schedules,
                                                  std::time_t after,
                                                  const std::function<bool(std::time_t)> &due) {
    day_number today = 0;
    int minute_now = 0;
    local_day_and_minute(after, today, minute_now);
    std::set<day_number> days;
    std::set<int> minutes = {0};
    auto add_week_from = [&](day_number first) {
        for (day_number day = first; day <= first + 7; ++day) {
            days.insert(day);
        }
    };
    add_week_from(today);
    for (const schedule *s : schedules) {
        for (const alternative &a : s->alternatives) {
            if (a.first_day > today && a.first_day <= a.last_day) {
                add_week_from(a.first_day);
            }
            for (int m = 1; m < minutes_per_day; ++m) {
                if (a.minutes.test(static_cast<size_t>(m)) &&
                    !a.minutes.test(static_cast<size_t>(m - 1))) {
                    minutes.insert(m);
                }
            }
        }
    }
    std::set<std::time_t> moments;
    for (day_number day : days) {
        for (int minute : minutes) {
            const std::time_t moment = moment_of(day, minute);
            if (moment > after && moment != static_cast<std::time_t>(-1)) {
                moments.insert(moment);
            }
        }
    }
    for (std::time_t moment : moments) {
        if (due(moment)) {
            return moment;
        }
    }
    return std::nullopt;
}
