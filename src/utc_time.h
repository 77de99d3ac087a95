#ifndef UTC_TIME_H_
#define UTC_TIME_H_

#include <stdint.h>

#include <string>
#include <string_view>

// Times in manifests, such as the time a manifest expires: UTC written
// exactly as "2026-12-31T00:00:00Z" (four-digit year, then two digits each
// for month, day, hour, minute and second), naming a real date of the
// Gregorian calendar and no leap second. Nothing else is a time: no blanks,
// no fractions, no offsets, no lower-case "t" or "z".

// Reads |text| as such a time into |*seconds| since 1970-01-01T00:00:00Z
// (negative before it). Returns false, leaving |*seconds| alone, for any
// other text.
bool ParseUtcTime(std::string_view text, int64_t* seconds);

// Writes |seconds| since 1970 in that form into |*text|. Returns false,
// leaving |*text| alone, when the time falls outside the years 0000 to 9999.
bool FormatUtcTime(int64_t seconds, std::string* text);

#endif  // UTC_TIME_H_
