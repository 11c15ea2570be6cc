// Writes the AppID's LaunchPermission and AccessPermission, as the installer stores them
// (self-relative security descriptors in hexadecimal), into a WiX include file:
//   installer_security_blobs <file.wxi>
// They come from the same SDDL as the server's own process security.
#include "class_ids.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>

namespace {

bool WriteDefine(FILE *file, const char *name, const wchar_t *sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              &size))
        return false;
    fprintf(file, "  <?define %s = #x", name);
    for (ULONG i = 0; i < size; ++i)
        fprintf(file, "%02X", static_cast<const BYTE *>(descriptor)[i]);
    fprintf(file, "?>\n");
    LocalFree(descriptor);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: installer_security_blobs <file.wxi>\n");
        return 2;
    }
    FILE *file = fopen(argv[1], "wb");
    if (file == nullptr)
        return 1;
    fprintf(file, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                  "<!-- Written by installer_security_blobs from the server's SDDL: not edited by "
                  "hand. -->\n<Include>\n");
    const bool written = WriteDefine(file, "LaunchPermission", BRIDGE_LAUNCH_SDDL) &&
                         WriteDefine(file, "AccessPermission", BRIDGE_ACCESS_SDDL);
    fprintf(file, "</Include>\n");
    return fclose(file) == 0 && written ? 0 : 1;
}
