// message_box for Windows: a modal MessageBoxA.
#include "message_box.h"

#include <windows.h>

void message_box(message_owner owner, const char *text, const char *caption, unsigned style)
{
    HWND parent = owner == OWNER_ACTIVE ? GetActiveWindow() : nullptr;
    MessageBoxA(parent, text, caption, style);
}
