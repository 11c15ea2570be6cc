// Allocation-failure injection for the bridge, with nothing in the product: the test executable's
// import slots for GlobalAlloc, GlobalFree, GlobalLock, SysAllocString, SysAllocStringLen,
// SysFreeString, CoTaskMemAlloc and CoTaskMemFree point to counting wrappers, and the
// executable's global operator new and delete are replaced. An allocation (or a lock of a movable
// block, which holds nothing) counts only while the calling thread has armed counting and runs no
// call of the simulated STI service (whose memory is the driver's); the failAt-th counted
// allocation of a run fails. Frees of counted blocks are seen wherever
// they happen, so a run ends knowing what it left allocated.
#pragma once

#include <cstddef>
#include <string>

// Points the import slots to the wrappers, once per process; false with what is missing.
bool InstallAllocationWrappers(std::string *error);

// Starts a run: nothing counted or held, the failAt-th counted allocation fails (0: none does).
void StartAllocationRun(unsigned long failAt);

// Counted allocations this run, the failed one included.
unsigned long AllocationsCounted();
// Whether the run's failAt-th allocation came (and failed).
bool AllocationFailureInjected();
// Counted allocations not freed yet.
size_t AllocationsOutstanding();
// Calls of the throwing operator new while armed: the bridge must use new (std::nothrow).
unsigned long ThrowingNewCalls();

// Counting is armed on this thread for the object's life.
class ArmedAllocations
{
public:
    ArmedAllocations();
    ~ArmedAllocations();
    ArmedAllocations(const ArmedAllocations &) = delete;
    ArmedAllocations &operator=(const ArmedAllocations &) = delete;
};
