// The bytes a page must hold: the simulator's generator, rows from the top, unpadded.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

std::vector<BYTE> ExpectedPage(const std::wstring &scenario, const wchar_t *item, LONG page);
