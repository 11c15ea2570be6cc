#include "process_security.h"

#include "class_ids.h"
#include "diagnostics.h"
#include "owners.h"

#include <objbase.h>
#include <sddl.h>

bool AbsoluteSecurityDescriptor::Build(const wchar_t *sddl)
{
    PSECURITY_DESCRIPTOR relative = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &relative,
                                                              nullptr))
        return false;
    UniqueHLocal owner(relative);
    // The first call asks for the sizes of the parts.
    DWORD sizes[5] = {};
    MakeAbsoluteSD(relative, nullptr, &sizes[0], nullptr, &sizes[1], nullptr, &sizes[2], nullptr,
                   &sizes[3], nullptr, &sizes[4]);
    m_descriptor.assign(sizes[0], 0);
    m_dacl.assign(sizes[1] != 0 ? sizes[1] : 1, 0);
    m_sacl.assign(sizes[2] != 0 ? sizes[2] : 1, 0);
    m_owner.assign(sizes[3] != 0 ? sizes[3] : 1, 0);
    m_group.assign(sizes[4] != 0 ? sizes[4] : 1, 0);
    return sizes[0] != 0 && MakeAbsoluteSD(relative, m_descriptor.data(), &sizes[0],
                                           reinterpret_cast<PACL>(m_dacl.data()), &sizes[1],
                                           reinterpret_cast<PACL>(m_sacl.data()), &sizes[2],
                                           m_owner.data(), &sizes[3], m_group.data(), &sizes[4]);
}

std::wstring ProcessAccessSddl()
{
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return std::wstring();
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size != 0 ? size : 1);
    wchar_t *sid = nullptr;
    if (!GetTokenInformation(token.get(), TokenUser, user.data(), size, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid, &sid))
        return std::wstring();
    UniqueHLocal owner(sid);
    // The rights of BRIDGE_ACCESS_SDDL, for this user instead of every interactive one.
    return std::wstring(L"O:BAG:BAD:(A;;0x3;;;") + sid + L")(A;;0x3;;;SY)(A;;0x3;;;BA)";
}

HRESULT InitializeProcessSecurity(AbsoluteSecurityDescriptor *access)
{
    const std::wstring sddl = ProcessAccessSddl();
    // A descriptor that was not built lets no caller in, whatever the last error says.
    HRESULT hr = E_FAIL;
    if (!sddl.empty() && access->Build(sddl.c_str()))
        hr = CoInitializeSecurity(access->get(), -1, nullptr, nullptr,
                                  RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                                  EOAC_DISABLE_AAA | EOAC_NO_CUSTOM_MARSHAL, nullptr);
    if (FAILED(hr) && LogEnabled(LogLevel::Errors))
        LogLine("CoInitializeSecurity -> %s", DescribeHresult(hr).c_str());
    return hr;
}
