// Entry of the end-to-end client: one apartment thread, like a TWAIN data source's.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <cstring>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--e2e-dir=", 10) == 0)
            SetE2eDir(argv[i] + 10);
        else if (strncmp(argv[i], "--scenario-dir=", 15) == 0)
            SetScenarioDir(argv[i] + 15);
    }
    if (FAILED(CoInitialize(nullptr)))
        return 2;
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
