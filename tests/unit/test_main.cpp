// Test entry: the bridge lives in a single-threaded apartment, as in the server.
#include <gtest/gtest.h>

#include <objbase.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (FAILED(CoInitialize(nullptr)))
        return 2;
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
