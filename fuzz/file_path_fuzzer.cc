// Checks the FsPath operations on arbitrary bytes. The input holds a path and
// two components, separated by line feeds (the second component is the rest
// of the input); missing ones are empty. The operations look at no byte but
// "/" and ".", so giving up line feeds inside the parts loses nothing.

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "base/file_path.h"
#include "fuzz/fuzz_check.h"

namespace {

using base::FsPath;

// Cuts the text before the next line feed off |*rest|.
std::string TakeLine(std::string* rest) {
  size_t line_feed = rest->find('\n');
  std::string line = rest->substr(0, line_feed);
  rest->erase(0, line_feed == std::string::npos ? rest->size() : line_feed + 1);
  return line;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool AllSeparators(const std::string& text) {
  return text.find_first_not_of('/') == std::string::npos;
}

// The trailing-separator rule in its closed form: a path with other bytes
// loses its whole trailing run of "/"; a path of separators only keeps one,
// except that exactly "//" stays.
std::string ExpectedDrop(const std::string& path) {
  if (!AllSeparators(path))
    return path.substr(0, path.find_last_not_of('/') + 1);
  if (path.size() <= 2) return path;
  return "/";
}

void CheckDropTrailingSeparators(const std::string& path) {
  std::string dropped = FsPath(path).DropTrailingSeparators().AsString();
  FUZZ_CHECK(dropped == ExpectedDrop(path))
      << "path: " << fuzz::Quote(path) << "\ngot: " << fuzz::Quote(dropped);
  FUZZ_CHECK(FsPath(dropped).DropTrailingSeparators().AsString() == dropped)
      << "path: " << fuzz::Quote(path);
  FUZZ_CHECK(dropped.size() <= path.size() && StartsWith(path, dropped) &&
             AllSeparators(path.substr(dropped.size())))
      << "path: " << fuzz::Quote(path) << "\ngot: " << fuzz::Quote(dropped);
  FUZZ_CHECK(dropped.empty() == path.empty()) << "path: " << fuzz::Quote(path);
  FUZZ_CHECK(!EndsWith(dropped, "/") || dropped == "/" || dropped == "//")
      << "path: " << fuzz::Quote(path) << "\ngot: " << fuzz::Quote(dropped);
}

void CheckJoin(const std::string& path, const std::string& component) {
  FsPath joined = FsPath(path).Join(component);
  const std::string& got = joined.AsString();
  FUZZ_CHECK(joined == FsPath(path).Join(FsPath(component)))
      << "path: " << fuzz::Quote(path)
      << "\ncomponent: " << fuzz::Quote(component);

  std::string expected;
  if (path == ".") {
    expected = component;
  } else {
    expected = ExpectedDrop(path);
    if (!component.empty() && !expected.empty() && !EndsWith(expected, "/"))
      expected += "/";
    expected += component;
  }
  FUZZ_CHECK(got == expected) << "path: " << fuzz::Quote(path)
                              << "\ncomponent: " << fuzz::Quote(component)
                              << "\ngot: " << fuzz::Quote(got)
                              << "\nexpected: " << fuzz::Quote(expected);

  // Joining nothing drops the trailing separators, except for ".".
  std::string joined_empty = FsPath(path).Join("").AsString();
  FUZZ_CHECK(
      joined_empty ==
      (path == "." ? "" : FsPath(path).DropTrailingSeparators().AsString()))
      << "path: " << fuzz::Quote(path)
      << "\ngot: " << fuzz::Quote(joined_empty);

  FUZZ_CHECK(EndsWith(got, component) &&
             got.size() <= path.size() + 1 + component.size())
      << "path: " << fuzz::Quote(path)
      << "\ncomponent: " << fuzz::Quote(component)
      << "\ngot: " << fuzz::Quote(got);

  // A plain name comes back as the last component, whatever it was joined to.
  if (!component.empty() && component.find('/') == std::string::npos) {
    FUZZ_CHECK(joined.LastComponent().AsString() == component)
        << "path: " << fuzz::Quote(path)
        << "\ncomponent: " << fuzz::Quote(component)
        << "\ngot: " << fuzz::Quote(joined.LastComponent().AsString());
    FUZZ_CHECK(joined.IsCurrentDirEntry() == (component == ".") &&
               joined.IsParentDirEntry() == (component == ".."))
        << "path: " << fuzz::Quote(path)
        << "\ncomponent: " << fuzz::Quote(component);
  }
}

// Joining |first| and then |second| is joining "first/second" at once, when
// |first| is a name that leaves something other than "." to join to.
void CheckJoinTwice(const std::string& path, const std::string& first,
                    const std::string& second) {
  FsPath once = FsPath(path).Join(first);
  if (first.empty() || EndsWith(first, "/") || second.empty() ||
      once.AsString() == ".") {
    return;
  }
  std::string twice = once.Join(second).AsString();
  std::string at_once = FsPath(path).Join(first + "/" + second).AsString();
  FUZZ_CHECK(twice == at_once)
      << "path: " << fuzz::Quote(path) << "\nfirst: " << fuzz::Quote(first)
      << "\nsecond: " << fuzz::Quote(second)
      << "\ntwice: " << fuzz::Quote(twice)
      << "\nat once: " << fuzz::Quote(at_once);
}

void CheckLastComponent(const std::string& path) {
  FsPath whole(path);
  std::string last = whole.LastComponent().AsString();
  std::string dropped = ExpectedDrop(path);
  size_t separator = dropped.rfind('/');
  std::string expected =
      separator == std::string::npos || separator + 1 == dropped.size()
          ? dropped
          : dropped.substr(separator + 1);
  FUZZ_CHECK(last == expected)
      << "path: " << fuzz::Quote(path) << "\ngot: " << fuzz::Quote(last)
      << "\nexpected: " << fuzz::Quote(expected);
  FUZZ_CHECK(FsPath(last).LastComponent().AsString() == last)
      << "path: " << fuzz::Quote(path) << "\nlast: " << fuzz::Quote(last);
  FUZZ_CHECK(last.empty() == path.empty() && EndsWith(dropped, last))
      << "path: " << fuzz::Quote(path) << "\nlast: " << fuzz::Quote(last);
  FUZZ_CHECK(last.find('/') == std::string::npos || last == "/" || last == "//")
      << "path: " << fuzz::Quote(path) << "\nlast: " << fuzz::Quote(last);
  FUZZ_CHECK(whole.IsCurrentDirEntry() == (last == ".") &&
             whole.IsParentDirEntry() == (last == ".."))
      << "path: " << fuzz::Quote(path) << "\nlast: " << fuzz::Quote(last);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string rest(reinterpret_cast<const char*>(data), size);
  const std::string path = TakeLine(&rest);
  const std::string first = TakeLine(&rest);
  const std::string second = rest;

  FsPath value(path);
  FUZZ_CHECK(value.IsEmpty() == path.empty());
  if (path.find('\0') == std::string::npos)
    FUZZ_CHECK(FsPath(path.c_str()) == value) << "path: " << fuzz::Quote(path);

  CheckDropTrailingSeparators(path);
  CheckLastComponent(path);
  CheckJoin(path, first);
  CheckJoin(path, second);
  CheckJoinTwice(path, first, second);
  return 0;
}
