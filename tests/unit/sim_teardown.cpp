// Every test starts with an empty simulated world and fails when the driver saw a protocol
// fault that the test did not take with SimTakeViolations().
#include "sim_sti.h"

#include <gtest/gtest.h>

namespace {

class SimWorldCheck : public testing::EmptyTestEventListener
{
public:
    void OnTestStart(const testing::TestInfo &) override { SimReset(); }

    void OnTestEnd(const testing::TestInfo &) override
    {
        for (const std::string &violation : SimTakeViolations())
            ADD_FAILURE() << "driver protocol violation: " << violation;
    }
};

const bool g_registered = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new SimWorldCheck);
    return true;
}();

} // namespace
