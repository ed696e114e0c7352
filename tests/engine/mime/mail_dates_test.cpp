// Dates of the Date field: written in the RFC 5322 form, read in it and in
// its obsolete forms.
#include <gtest/gtest.h>

#include "engine/mime/mail_dates.h"

namespace vesk {
namespace {

std::string Utc(std::string_view text) {
  CivilTime utc;
  if (!ParseMailDate(text, utc)) return "not a date";
  char out[32];
  std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d", utc.year, utc.month, utc.day, utc.hour,
                utc.minute, utc.second);
  return out;
}

TEST(MailDates, WrittenWithDayNameAndZoneOffset) {
  EXPECT_EQ(FormatMailDate({2026, 12, 6, 13, 46, 5}, 60), "Sun, 06 Dec 2026 13:46:05 +0100");
  EXPECT_EQ(FormatMailDate({2000, 2, 29, 0, 0, 0}, -570), "Tue, 29 Feb 2000 00:00:00 -0930");
  EXPECT_EQ(Utc(FormatMailDate({1999, 12, 31, 23, 59, 59}, -480)), "2000-01-01 07:59:59");
}

TEST(MailDates, ReadInEveryFormToUtc) {
  const std::pair<const char*, const char*> cases[] = {
      {"Sun, 06 Dec 2026 13:46:05 +0100", "2026-12-06 12:46:05"},
      {"6 Dec 2026 13:46 -0000", "2026-12-06 13:46:00"},  // no day name, no seconds
      {"  Tue,  1 Jul 2003 10:52:37 +0200 (CEST)", "2003-07-01 08:52:37"},
      {"Fri, 21 Nov 97 09:55:06 GMT", "1997-11-21 09:55:06"},  // obsolete: two-digit year, zone name
      {"Fri, 21 Nov 49 09:55:06 EST", "2049-11-21 14:55:06"},
      {"Thu, 13 Feb 103 23:32 PST", "2003-02-14 07:32:00"},  // three-digit year
      {"Mon, 01 Jan 2007 00:00:00 Z", "2007-01-01 00:00:00"},  // military zone counts as -0000
      {"wed, 31 dec 2025 23:59:60 +0000", "2025-12-31 23:59:59"},  // any case; a leap second
      {"Sat, 1 Jan 2000 00:30:00 +0100", "1999-12-31 23:30:00"},
  };
  for (const auto& [text, utc] : cases) EXPECT_EQ(Utc(text), utc) << text;
  for (const char* not_a_date : {"", "12/6/2026 11:53:19 AM", "Sun 06 Dec 2026 13:46:05 +0100",
                                 "Sun, 31 Feb 2026 10:00:00 +0000", "06 Dec 2026 25:00:00 +0000",
                                 "06 Dec 2026 10:00:00 +01", "06 Dec 2026 10:00:00 +0100 trailing",
                                 "Son, 06 Dec 2026 10:00:00 +0000"}) {
    EXPECT_EQ(Utc(not_a_date), "not a date") << not_a_date;
  }
}

}  // namespace
}  // namespace vesk
