// Dates of the Date field: any text is read without harm, and a date that
// reads, written back in UTC, reads as the same time.
#include <string_view>

#include "engine/mime/mail_dates.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vesk::CivilTime utc;
  if (!vesk::ParseMailDate(std::string_view(reinterpret_cast<const char*>(data), size), utc)) return 0;
  vesk::CivilTime again;
  vesk::fuzz::Check(vesk::ParseMailDate(vesk::FormatMailDate(utc, 0), again), "a written date reads");
  vesk::fuzz::Check(again.year == utc.year && again.month == utc.month && again.day == utc.day &&
                        again.hour == utc.hour && again.minute == utc.minute && again.second == utc.second,
                    "a written date reads as the same time");
  return 0;
}
