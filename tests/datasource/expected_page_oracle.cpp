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
    std::vector<BYTE> bytes;
    if (RunAndWait(command, 30000) != 0)
        return bytes;
    HANDLE file = CreateFileW(output.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    bytes.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    if (!bytes.empty() &&
        (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
         read != bytes.size()))
        bytes.clear();
    CloseHandle(file);
    DeleteFileW(output.c_str());
    return bytes;
}
