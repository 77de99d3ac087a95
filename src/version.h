#ifndef VERSION_H_
#define VERSION_H_

#include <string>

// Orders two version strings: negative when |a| is older than |b|, 0 when
// they are the same version, positive when |a| is newer. Components between
// dots are compared in order; within a component runs of digits compare as
// numbers of any length (leading zeros ignored) and other bytes as unsigned
// bytes. When all shared components are equal, the version with fewer
// components is older. Where the digit runs on both sides have the same
// lengths this is plain byte order, so "1.9" is older than "1.10" and "" older
// than any other version. The order is a strict weak order.
int CompareVersions(const std::string& a, const std::string& b);

#endif  // VERSION_H_
