#include "engine/mime/mail_dates.h"

#include <cstdint>
#include <cstdio>

#include "engine/common/ascii.h"
#include "engine/platform/unique_id.h"

namespace vesk {
namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDaysIn[month - 1];
}

// Days since 1970-01-01 of a civil date (the proleptic Gregorian calendar).
std::int64_t DaysFromCivil(int year, int month, int day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int year_of_era = static_cast<int>(year - era * 400);
  const int day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

CivilTime CivilFromSeconds(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int day_of_era = static_cast<int>(days - era * 146097);
  const int year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int month_index = (5 * day_of_year + 2) / 153;
  CivilTime time;
  time.day = day_of_year - (153 * month_index + 2) / 5 + 1;
  time.month = month_index + (month_index < 10 ? 3 : -9);
  time.year = static_cast<int>(year_of_era + era * 400) + (time.month <= 2);
  time.hour = static_cast<int>(rest / 3600);
  time.minute = static_cast<int>(rest / 60 % 60);
  time.second = static_cast<int>(rest % 60);
  return time;
}

// The date-time as a run of tokens: numbers, words, signs and the colons and
// commas between them; comments and white space fall away.
class DateScanner {
 public:
  explicit DateScanner(std::string_view text) : text_(text) {}

  void Skip() {
    for (;;) {
      while (position_ < text_.size() && IsCSpace(text_[position_])) ++position_;
      if (position_ >= text_.size() || text_[position_] != '(') return;
      int depth = 0;
      do {
        if (text_[position_] == '\\') ++position_;
        else if (text_[position_] == '(') ++depth;
        else if (text_[position_] == ')') --depth;
        ++position_;
      } while (depth > 0 && position_ < text_.size());
      if (position_ > text_.size()) position_ = text_.size();  // a quoted pair cut by the end
    }
  }
  bool AtEnd() {
    Skip();
    return position_ >= text_.size();
  }
  bool Take(char c) {
    Skip();
    if (position_ < text_.size() && text_[position_] == c) {
      ++position_;
      return true;
    }
    return false;
  }
  // Digits: their value and count; false when there are none.
  bool Number(int& value, int& digits) {
    Skip();
    value = digits = 0;
    while (position_ < text_.size() && IsAsciiDigit(text_[position_]) && digits < 9) {
      value = value * 10 + (text_[position_++] - '0');
      ++digits;
    }
    return digits > 0;
  }
  std::string_view Word() {
    Skip();
    const size_t start = position_;
    while (position_ < text_.size() && IsAsciiLetter(text_[position_])) ++position_;
    return text_.substr(start, position_ - start);
  }

 private:
  static bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
  static bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
  static bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

  std::string_view text_;
  size_t position_ = 0;
};

int NamedZoneOffset(std::string_view zone) {
  struct Named {
    const char* name;
    int minutes;
  };
  static constexpr Named kZones[] = {{"UT", 0},     {"GMT", 0},    {"EST", -300}, {"EDT", -240}, {"CST", -360},
                                     {"CDT", -300}, {"MST", -420}, {"MDT", -360}, {"PST", -480}, {"PDT", -420}};
  for (const Named& named : kZones) {
    if (EqualsIgnoringAsciiCase(zone, named.name)) return named.minutes;
  }
  return 0;  // military and other names: -0000, the zone is not known
}

}  // namespace

std::string FormatMailDate(const CivilTime& local, int offset_minutes) {
  const std::int64_t days = DaysFromCivil(local.year, local.month, local.day);
  const int weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  const int offset = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d", kDays[weekday], local.day,
                kMonths[local.month - 1], local.year, local.hour, local.minute, local.second,
                offset_minutes < 0 ? '-' : '+', offset / 60 % 100, offset % 60);
  return text;
}

std::int64_t SecondsSinceEpoch(const CivilTime& utc) {
  return DaysFromCivil(utc.year, utc.month, utc.day) * 86400 + utc.hour * 3600 + utc.minute * 60 + utc.second;
}

std::string NewMessageId(std::string_view domain) {
  const UniqueId id = NewUniqueId();
  char random[40];
  std::snprintf(random, sizeof random, "%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X", static_cast<unsigned>(id.data1),
                static_cast<unsigned>(id.data2), static_cast<unsigned>(id.data3), id.data4[0], id.data4[1], id.data4[2],
                id.data4[3], id.data4[4], id.data4[5], id.data4[6], id.data4[7]);
  return "<" + std::string(random) + "@" + std::string(domain.empty() ? "localhost.localdomain" : domain) + ">";
}

bool ParseMailDate(std::string_view text, CivilTime& utc) {
  DateScanner scanner(text);
  CivilTime time;
  int digits = 0;
  // [day-of-week ","] day month year
  std::string_view word = scanner.Word();
  if (!word.empty()) {
    bool known = false;
    for (const char* day : kDays) known = known || EqualsIgnoringAsciiCase(word, day);
    if (!known || !scanner.Take(',')) return false;
  }
  if (!scanner.Number(time.day, digits) || digits > 2) return false;
  word = scanner.Word();
  time.month = 0;
  for (int m = 0; m < 12; ++m) {
    if (EqualsIgnoringAsciiCase(word, kMonths[m])) time.month = m + 1;
  }
  if (time.month == 0 || !scanner.Number(time.year, digits) || digits < 2) return false;
  if (digits == 2) time.year += time.year < 50 ? 2000 : 1900;
  if (digits == 3) time.year += 1900;
  // time-of-day
  if (!scanner.Number(time.hour, digits) || digits > 2 || !scanner.Take(':') ||
      !scanner.Number(time.minute, digits) || digits != 2) {
    return false;
  }
  if (scanner.Take(':') && (!scanner.Number(time.second, digits) || digits != 2)) return false;
  if (time.day < 1 || time.day > DaysInMonth(time.year, time.month) || time.hour > 23 || time.minute > 59 ||
      time.second > 60) {
    return false;
  }
  // zone
  int offset = 0;
  const bool plus = scanner.Take('+');
  if (plus || scanner.Take('-')) {
    int zone = 0;
    if (!scanner.Number(zone, digits) || digits != 4 || zone % 100 > 59) return false;
    offset = (zone / 100 * 60 + zone % 100) * (plus ? 1 : -1);
  } else {
    word = scanner.Word();
    if (word.empty()) return false;
    offset = NamedZoneOffset(word);
  }
  if (!scanner.AtEnd()) return false;
  const int second = time.second == 60 ? 59 : time.second;  // a leap second reads as the second before
  const std::int64_t seconds = DaysFromCivil(time.year, time.month, time.day) * 86400 + time.hour * 3600 +
                               time.minute * 60 + second - static_cast<std::int64_t>(offset) * 60;
  utc = CivilFromSeconds(seconds);
  return true;
}

}  // namespace vesk
