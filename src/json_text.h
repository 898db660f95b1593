// JSON text for the files the tool writes for other programs: strings of any bytes, numbers,
// booleans, nulls and local times, in objects written member after member.
#ifndef EPDSHOW_JSON_TEXT_H
#define EPDSHOW_JSON_TEXT_H

#include <ctime>
#include <string>

// A JSON string of text. File names are bytes: a byte that starts no well-formed UTF-8 sequence
// is read as Latin-1, so that the JSON stays valid and each such byte keeps a character of its own.
std::string json_string(const std::string &text);

// Local time with its offset from UTC: "2026-12-08T21:59:50+01:00".
std::string iso_time(std::time_t t);

// A JSON object written member after member, in the order given.
class json_object {
  public:
    json_object &text(const char *key, const std::string &value);
    json_object &number(const char *key, long long value);
    json_object &boolean(const char *key, bool value);
    // A local time, or null for 0 (not known).
    json_object &time(const char *key, std::time_t value);
    json_object &null(const char *key);
    // A member whose value is JSON text already.
    json_object &raw(const char *key, const std::string &json);
    std::string str() const { return "{" + body + "}"; }

  private:
    std::string body;
};

#endif
