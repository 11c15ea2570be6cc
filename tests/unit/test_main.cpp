// Test entry: the bridge lives in a single-threaded apartment, as in the server.
#include "sim_sti.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <string>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Test processes run side by side: each keeps the simulated device locks to itself.
    SimSetLockScope(std::to_wstring(GetCurrentProcessId()).c_str());
    if (FAILED(CoInitialize(nullptr)))
        return 2;
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
