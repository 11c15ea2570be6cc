// The server's COM security: who may call it, and how calls are authenticated.
#pragma once

#include <windows.h>

#include <vector>

// A security descriptor in absolute form, built from SDDL, owning its parts.
class AbsoluteSecurityDescriptor
{
public:
    bool Build(const wchar_t *sddl);
    PSECURITY_DESCRIPTOR get() { return m_descriptor.data(); }

private:
    std::vector<BYTE> m_descriptor, m_dacl, m_sacl, m_owner, m_group;
};

#include <string>

// Who may call the running server: the user it runs as (COM starts it as the user who activated
// it), SYSTEM and administrators. Empty when the process's user cannot be read.
std::wstring ProcessAccessSddl();

// CoInitializeSecurity with ProcessAccessSddl, packet privacy, identify-level impersonation, no
// activate-as-activator and no custom marshaling. The descriptor must outlive the process's COM.
HRESULT InitializeProcessSecurity(AbsoluteSecurityDescriptor *access);
