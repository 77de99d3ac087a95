#ifndef INI_INI_TEST_UTIL_H_
#define INI_INI_TEST_UTIL_H_

#include <sstream>
#include <string>

#include "base/utf_string_conversions.h"
#include "ini/ini_document.h"

// The document's text as Write gives it, in UTF-8: what Save writes.
inline std::string IniText(const IniDocument& doc) {
  std::wostringstream out;
  doc.Write(out);
  return base::WideToUtf8(out.str());
}

#endif  // INI_INI_TEST_UTIL_H_
