#include "quiet_hours.h"

#include <cstdio>

namespace {

constexpr int minutes_per_day = 24 * 60;

std::string without_blanks(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            out += c;
        }
    }
    return out;
}

} // namespace

bool read_clock(const std::string &text, int &minutes) {
    int hours = 0, mins = 0, used = 0;
    if (text.size() < 4 || text.size() > 5 || text[text.size() - 3] != ':' ||
        std::sscanf(text.c_str(), "%2d:%2d%n", &hours, &mins, &used) != 2 ||
        used != static_cast<int>(text.size()) || text[0] == '+' || text[0] == '-') {
        return false;
    }
    if (hours < 0 || mins < 0 || mins > 59 || hours > 24 || (hours == 24 && mins != 0)) {
        return false;
    }
    minutes = hours * 60 + mins;
    return true;
}

bool quiet_hours::read(const std::string &text) {
    const std::string windows = without_blanks(text);
    std::bitset<minutes_per_day> minutes;
    size_t start = 0;
    do {
        size_t comma = windows.find(',', start);
        const std::string window = windows.substr(start, comma - start);
        size_t dash = window.find('-');
        int from = 0, to = 0;
        if (dash == std::string::npos || !read_clock(window.substr(0, dash), from) ||
            !read_clock(window.substr(dash + 1), to) ||
            from % minutes_per_day == to % minutes_per_day) {
            return false;
        }
        for (int m = from; m % minutes_per_day != to % minutes_per_day; ++m) {
            minutes.set(m % minutes_per_day);
        }
        start = comma == std::string::npos ? windows.size() + 1 : comma + 1;
    } while (start <= windows.size());
    if (minutes.all()) {
        return false;
    }
    quiet_minutes = minutes;
    windows_text = windows;
    return true;
}

bool quiet_hours::covers(int second_of_day) const {
    return quiet_minutes.test(static_cast<size_t>(second_of_day / 60 % minutes_per_day));
}

int quiet_hours::end_of(int second_of_day) const {
    int minute = second_of_day / 60;
    while (quiet_minutes.test(static_cast<size_t>(minute % minutes_per_day))) {
        ++minute;
    }
    return minute % minutes_per_day * 60;
}

int quiet_hours::seconds_left(int second_of_day) const {
    return (end_of(second_of_day) - second_of_day + seconds_per_day) % seconds_per_day;
}

std::time_t wall_clock() {
    return std::time(nullptr);
}

int local_second_of_day(std::time_t t) {
    std::tm local = {};
    localtime_r(&t, &local);
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

std::time_t next_moment_at(std::time_t now, int second_of_day) {
    std::tm local = {};
    localtime_r(&now, &local);
    for (int day = 0;; ++day) {
        std::tm at = local;
        at.tm_mday += day;
        at.tm_hour = second_of_day / 3600;
        at.tm_min = second_of_day / 60 % 60;
        at.tm_sec = second_of_day % 60;
        at.tm_isdst = -1;
        const std::time_t moment = std::mktime(&at);
        if (moment > now || day == 2) {
            return moment;
        }
    }
}

std::string clock_text(int second_of_day) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", second_of_day / 3600 % 24,
                  second_of_day / 60 % 60);
    return text;
}
