// What the source's windows share: the system's message font at the monitor's DPI, placement
// centred over the application's window, and whether that window may own them.
#pragma once

#include <windows.h>

// Registers a window class of the source's (once): the dialog colour and the arrow cursor.
bool RegisterSourceWindowClass(HINSTANCE instance, const wchar_t *name);

// The application's window when it is one the source's windows may belong to; none for no
// window or the desktop: then they are not owned and never disable it.
HWND OwnerFrom(HWND parent);

// The system's message font (at the DPI the system gives the process); the caller deletes it.
HFONT CreateMessageFont();
// A length of the layout at 96 DPI, at the window's DPI.
int Scaled(HWND window, int length);
// Gives each child of the window the font.
void ApplyFont(HWND window, HFONT font);
// Places the window centred over its owner, or over the work area of its monitor.
void CentreOver(HWND window, HWND owner);
