#include "update_log_sites.h"

#include <regex>
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
  std::regex row(R"(\| norvane_update\((\d+)\) \|)");
  for (std::sregex_iterator it(readme.begin(), readme.end(), row), end;
       it != end; ++it) {
    documented.insert(std::stoi((*it)[1]));
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
