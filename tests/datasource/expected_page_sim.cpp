// In a 64-bit test the simulator's generator runs in-process.
#include "expected_page.h"

#include "sim_sti.h"

namespace {

constexpr wchar_t DEVICE[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0001";

} // namespace

std::vector<BYTE> ExpectedPage(const std::wstring &scenario, const wchar_t *item, LONG page)
{
    std::string error;
    if (!SimLoadScenarioFile(scenario.c_str(), &error))
        return {};
    const SimItem *found = SimFindItem(DEVICE, L"alice", item);
    if (found == nullptr)
        return {};
    std::vector<BYTE> bytes(static_cast<size_t>(SimGetPageGeometry(*found, page).dataBytes));
    SimFillPage(item, page, 0, bytes.data(), bytes.size());
    return bytes;
}
