// A 32-bit test cannot link the simulator: the x64 page oracle writes the bytes to a file.
#include "expected_page.h"

#include "e2e_support.h"

namespace {

constexpr wchar_t DEVICE[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0001";

} // namespace

std::vector<BYTE> ExpectedPage(const std::wstring &scenario, const wchar_t *item, LONG page)
{
    const std::wstring dir = E2eDir() + L"\\x86";
    const std::wstring output = dir + L"\\expected-source-page.bin";
    DeleteFileW(output.c_str());
    const std::wstring command = L"\"" + dir + L"\\sim_page_oracle.exe\" \"" + scenario + L"\" \"" +
                                 DEVICE + L"\" alice " + item + L" " + std::to_wstring(page) +
                                 L" \"" + output + L"\"";
    if (RunAndWait(command, 30000) != 0)
        return std::vector<BYTE>();
    std::vector<BYTE> bytes = ReadFileBytes(output);
    DeleteFileW(output.c_str());
    return bytes;
}
