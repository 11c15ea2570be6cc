// sim_page_oracle: writes the bytes a page of a scenario must hold, from the simulator's own
// generator, for a client that cannot link the simulator (the 32-bit client: the simulator's
// driver records are those of the 64-bit process).
//   sim_page_oracle <scenario> <device internal name> <account> <item> <page> <output file>
// Exit codes: 0 written, 1 scenario not loaded, 2 usage, 3 no such item or page, 4 write failed.
#include "sim_sti.h"

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int WritePage(const wchar_t *scenario, const wchar_t *device, const wchar_t *account,
              const wchar_t *itemName, LONG page, const wchar_t *output)
{
    std::string error;
    if (!SimLoadScenarioFile(scenario, &error)) {
        fprintf(stderr, "sim_page_oracle: %s\n", error.c_str());
        return 1;
    }
    const SimItem *item = SimFindItem(device, account, itemName);
    if (item == nullptr || page < 1 || page > item->pages) {
        fprintf(stderr, "sim_page_oracle: no page %ld of %ls\n", static_cast<long>(page), itemName);
        return 3;
    }
    const SimPageGeometry geometry = SimGetPageGeometry(*item, page);
    std::vector<BYTE> bytes(static_cast<size_t>(geometry.dataBytes));
    SimFillPage(*item, page, 0, bytes.data(), bytes.size());

    HANDLE file = CreateFileW(output, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 4;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size() ? 0 : 4;
}

} // namespace

int main()
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count != 7) {
        fputs("usage: sim_page_oracle <scenario> <device> <account> <item> <page> <output>\n",
              stderr);
        return 2;
    }
    wchar_t *end = nullptr;
    const long page = wcstol(arguments[5], &end, 10);
    int result = 2;
    if (end != arguments[5] && *end == L'\0')
        result = WritePage(arguments[1], arguments[2], arguments[3], arguments[4],
                           static_cast<LONG>(page), arguments[6]);
    LocalFree(arguments);
    return result;
}
