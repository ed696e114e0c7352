#pragma once

// Dates of the Date field and the automation's local dates.

#include <string>

#include "automation/frame/win.h"

namespace vesk::com {

// An RFC 5322 date as a local date; false when the text is not such a date.
bool LocalDateOfMailDate(const std::string& text, DATE& date);

// A local date as an RFC 5322 date with the zone offset in force then.
bool MailDateOfLocalDate(DATE date, std::string& text);

// The current local time as an RFC 5322 date.
std::string MailDateNow();

}  // namespace vesk::com
