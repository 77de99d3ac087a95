#include "utc_time.h"

#include <stdio.h>
#include <time.h>

namespace {

// The form of a time; 'd' stands for a decimal digit.
constexpr char kForm[] = "dddd-dd-ddTdd:dd:ddZ";

// Every build counts time in 64 bits (the i686 one with _TIME_BITS=64), so
// times past 2038 are read and written like any other.
static_assert(sizeof(time_t) >= sizeof(int64_t), "time_t must be 64 bits");

int Number(std::string_view text, size_t start, size_t length) {
  int value = 0;
  for (char c : text.substr(start, length)) value = value * 10 + (c - '0');
  return value;
}

bool SameFields(const struct tm& a, const struct tm& b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon &&
         a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
         a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

}  // namespace

bool ParseUtcTime(std::string_view text, int64_t* seconds) {
  if (text.size() != sizeof(kForm) - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) return false;
  }
  struct tm fields = {};
  fields.tm_year = Number(text, 0, 4) - 1900;
  fields.tm_mon = Number(text, 5, 2) - 1;
  fields.tm_mday = Number(text, 8, 2);
  fields.tm_hour = Number(text, 11, 2);
  fields.tm_min = Number(text, 14, 2);
  fields.tm_sec = Number(text, 17, 2);
  struct tm converted = fields;
  time_t value = timegm(&converted);
  // timegm carries fields past their range into the next ones (February 30
  // becomes March 2, 24:00:00 the next day); only a time that converts back
  // to the same fields was a calendar time.
  struct tm back;
  if (!gmtime_r(&value, &back) || !SameFields(fields, back)) return false;
  *seconds = static_cast<int64_t>(value);
  return true;
}

bool FormatUtcTime(int64_t seconds, std::string* text) {
  time_t value = static_cast<time_t>(seconds);
  struct tm fields;
  if (!gmtime_r(&value, &fields) || fields.tm_year < -1900 ||
      fields.tm_year > 9999 - 1900) {
    return false;
  }
  char buffer[32];
  snprintf(buffer, sizeof(buffer), "%04d-%02d-%02dT%02d:%02d:%02dZ",
           fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
           fields.tm_hour, fields.tm_min, fields.tm_sec);
  *text = buffer;
  return true;
}
