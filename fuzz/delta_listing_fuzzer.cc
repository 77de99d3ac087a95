// Checks the delta listing's reader on arbitrary bytes: the listing comes
// from the server, inside the delta. A listing it takes names only paths
// and modes it may name and formats back to text it reads as the same
// listing; a refusal says why and leaves its output alone.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

#include "delta/delta_listing.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  DeltaListing listing;
  listing.directories.push_back({"untouched", 0700});
  const DeltaListing before = listing;
  std::string problem;
  if (!ParseDeltaListing(text, &listing, &problem)) {
    FUZZ_CHECK(listing == before) << "text: " << fuzz::Quote(text);
    FUZZ_CHECK(!problem.empty()) << "text: " << fuzz::Quote(text);
    return 0;
  }
  for (const DeltaDirectory& directory : listing.directories) {
    FUZZ_CHECK(IsDeltaPath(directory.path) && directory.mode <= 0777)
        << "text: " << fuzz::Quote(text);
  }
  for (const DeltaFile& file : listing.files) {
    FUZZ_CHECK(IsDeltaPath(file.path) && file.mode <= 0777)
        << "text: " << fuzz::Quote(text);
  }
  const std::string formatted = FormatDeltaListing(listing);
  DeltaListing again;
  FUZZ_CHECK(ParseDeltaListing(formatted, &again, &problem))
      << "text: " << fuzz::Quote(text)
      << "\nformatted: " << fuzz::Quote(formatted) << "\nproblem: " << problem;
  FUZZ_CHECK(again == listing) << "text: " << fuzz::Quote(text);
  return 0;
}
