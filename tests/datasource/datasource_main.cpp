// Entry of the data source's tests. The application's thread starts without COM: the source
// initialises it for the thread itself.
#include "datasource_test_support.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--e2e-dir=", 10) == 0)
            SetE2eDir(argv[i] + 10);
        else if (strncmp(argv[i], "--scenario-dir=", 15) == 0)
            SetScenarioDir(argv[i] + 15);
        else if (strncmp(argv[i], "--ds=", 5) == 0)
            SetSourcePath(WindowsPath(argv[i] + 5));
        else if (strncmp(argv[i], "--fuzz-triplets=", 16) == 0)
            Options().fuzzTriplets = strtoul(argv[i] + 16, nullptr, 10);
        else if (strncmp(argv[i], "--fuzz-seed=", 12) == 0)
            Options().fuzzSeed = strtoul(argv[i] + 12, nullptr, 10);
        else if (strncmp(argv[i], "--worker-scenario=", 18) == 0)
            Options().workerScenario = WindowsPath(argv[i] + 18);
    }
    return RUN_ALL_TESTS();
}
