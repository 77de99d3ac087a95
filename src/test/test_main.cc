// main() for test programs that can be re-run as one of their helpers.

#include "gtest/gtest.h"
#include "test/test_util.h"

int main(int argc, char** argv) {
  int status = 0;
  if (testing_util::RunHelperIfRequested(argc, argv, &status)) return status;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
