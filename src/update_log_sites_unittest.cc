#include "update_log_sites.h"

#include <set>
#include <string>
#include <utility>

#include "gtest/gtest.h"
#include "test/test_util.h"

namespace {

// The log's sites are an interface that people and tools match on; the
// README's table of entries documents them. Every site of the update run must
// be there, and every row must name a site of the table.
TEST(UpdateLogSitesTest, ReadmeListsExactlyTheUpdateRunsSites) {
  std::string readme = testing_util::ReadFile(NORVANE_README);
  ASSERT_FALSE(readme.empty());
  std::set<int> documented;
  const std::string kCell = "| norvane_update(";
  for (size_t at = readme.find(kCell); at != std::string::npos;
       at = readme.find(kCell, at + 1)) {
    size_t digits = at + kCell.size();
    size_t end = readme.find_first_not_of("0123456789", digits);
    if (end != digits && readme.compare(end, 3, ") |") == 0) {
      documented.insert(std::stoi(readme.substr(digits, end - digits)));
    }
  }
  std::set<int> sites;
  for (const log_site::Site* site : log_site::kUpdateRunSites) {
    EXPECT_STREQ("norvane_update", site->file);
    EXPECT_TRUE(sites.insert(site->line).second)
        << "line " << site->line << " is used twice";
  }
  EXPECT_EQ(sites, documented);
}

}  // namespace
