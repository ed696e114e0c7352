#pragma once

// Dates of the Date field (RFC 5322 section 3.3, with the obsolete forms of
// section 4.3 on reading).

#include <cstdint>
#include <string>
#include <string_view>

namespace vesk {

struct CivilTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// "Sun, 06 Dec 2026 13:46:05 +0100": a local time and its offset from UTC in
// minutes (east positive).
std::string FormatMailDate(const CivilTime& local, int offset_minutes);

// Reads a date-time: optional day name, day, month name, year (two digits are
// 1950..2049, three digits are added to 1900), hours and minutes with
// optional seconds, and a zone: +hhmm / -hhmm, UT, GMT, the North American
// names (EST, EDT, CST, CDT, MST, MDT, PST, PDT), or any other letters, which
// count as -0000. Comments in parentheses and free white space are allowed.
// Gives the time in UTC; false when the text is not such a date.
bool ParseMailDate(std::string_view text, CivilTime& utc);

// Seconds since 1970-01-01 00:00:00 UTC of a time given in UTC.
std::int64_t SecondsSinceEpoch(const CivilTime& utc);

// A new RFC 5322 message identifier (section 3.6.4), "<random@domain>": 128
// random bits in hexadecimal and the given domain, or "localhost.localdomain"
// when it is empty.
std::string NewMessageId(std::string_view domain);

}  // namespace vesk
