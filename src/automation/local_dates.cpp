#include "automation/local_dates.h"

#include "engine/mime/mail_dates.h"

namespace vesk::com {

// An RFC 5322 date as local time.
bool LocalDateOfMailDate(const std::string& text, DATE& date) {
  CivilTime utc;
  if (!ParseMailDate(text, utc)) return false;
  SYSTEMTIME universal{};
  universal.wYear = static_cast<WORD>(utc.year);
  universal.wMonth = static_cast<WORD>(utc.month);
  universal.wDay = static_cast<WORD>(utc.day);
  universal.wHour = static_cast<WORD>(utc.hour);
  universal.wMinute = static_cast<WORD>(utc.minute);
  universal.wSecond = static_cast<WORD>(utc.second);
  SYSTEMTIME local{};
  return utc.year >= 1601 && SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local) &&
         SystemTimeToVariantTime(&local, &date);
}

// A local date as an RFC 5322 date with the zone offset in force then.
bool MailDateOfLocalDate(DATE date, std::string& text) {
  SYSTEMTIME local{};
  if (!VariantTimeToSystemTime(date, &local)) return false;
  int offset_minutes = 0;
  SYSTEMTIME universal{};
  FILETIME local_file{};
  FILETIME universal_file{};
  if (TzSpecificLocalTimeToSystemTime(nullptr, &local, &universal) && SystemTimeToFileTime(&local, &local_file) &&
      SystemTimeToFileTime(&universal, &universal_file)) {
    const auto ticks = [](const FILETIME& time) {
      return static_cast<long long>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    };
    offset_minutes = static_cast<int>((ticks(local_file) - ticks(universal_file)) / 600000000LL);
  }
  text = FormatMailDate({local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond},
                        offset_minutes);
  return true;
}

std::string MailDateNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  DATE date = 0;
  std::string text;
  if (!SystemTimeToVariantTime(&now, &date) || !MailDateOfLocalDate(date, text)) {
    text = FormatMailDate({now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond}, 0);
  }
  return text;
}

}  // namespace vesk::com
