// The main of every test binary. Before any test runs, HOME, the XDG folders and the program's own
// location variables are pointed at a fresh temporary folder, so that no test can reach the user's
// real settings, caches or log.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!lumo::test::beginTestRun())
        return 1;
    const int result = RUN_ALL_TESTS();
    lumo::test::endTestRun();
    return result;
}
