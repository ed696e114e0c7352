// Dates of the Date field:
// 1. any text is read without harm, and a date that reads, written back in
//    UTC, reads as the same time;
// 2. a local time and zone offset made from the input, written and read
//    again, give the same instant.
#include <cstdint>
#include <string_view>

#include "engine/mime/mail_dates.h"
#include "fuzz_support.h"

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysOf(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  return era * 146097 + year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year - 719468;
}

int64_t SecondsOf(const vesk::CivilTime& t) {
  return DaysOf(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vesk::CivilTime utc;
  if (vesk::ParseMailDate(std::string_view(reinterpret_cast<const char*>(data), size), utc)) {
    vesk::CivilTime again;
    vesk::fuzz::Check(vesk::ParseMailDate(vesk::FormatMailDate(utc, 0), again), "a written date reads");
    vesk::fuzz::Check(SecondsOf(again) == SecondsOf(utc), "a written date reads as the same time");
  }
  if (size < 8) return 0;
  const vesk::CivilTime local{1900 + (data[0] | (data[1] << 8)) % 8000, 1 + data[2] % 12, 1 + data[3] % 28,
                              data[4] % 24, data[5] % 60, data[6] % 60};
  const int offset = (data[7] | (data[1] & 0xF0) << 4) % (2 * 1440 - 1) - 1439;
  vesk::CivilTime read;
  vesk::fuzz::Check(vesk::ParseMailDate(vesk::FormatMailDate(local, offset), read), "a date made here reads");
  vesk::fuzz::Check(SecondsOf(read) == SecondsOf(local) - offset * 60, "a date made here reads as its instant");
  return 0;
}
