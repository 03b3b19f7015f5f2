// The Properties dialog's rules that need no window: which setting a number field feeds and
// how a chosen path becomes folder and file name. dialog_win32.cpp applies them to the
// controls; they work directly on settings and lookup_path.
#include "properties_dialog.h"

#include "resource.h"
#include "settings.h"

#include <cstring>

// Stores value in the setting that field control_id holds. Returns 0 for any other id.
static int store_number_field(int control_id, unsigned value)
{
    switch (control_id) {
    case IDC_LINE_LENGTH:
        settings.line_length = static_cast<unsigned char>(value);
        return 1;
    case IDC_KEY1_OFFSET:
        settings.key1_offset = static_cast<int>(value);
        return 1;
    case IDC_KEY1_LENGTH:
        settings.key1_length = static_cast<int>(value);
        return 1;
    case IDC_KEY2_OFFSET:
        settings.key2_offset = static_cast<int>(value);
        return 1;
    case IDC_KEY2_LENGTH:
        settings.key2_length = static_cast<int>(value);
        return 1;
    }
    return 0;
}

number_field_action apply_number_field(int control_id, int translated, unsigned value,
                                       int text_empty)
{
    if (!translated) {
        // Empty text, a sign, letters or more than 32 bits: the field means 0, and shows it
        // unless the user has just cleared it.
        if (!store_number_field(control_id, 0))
            return NUMBER_KEEP_TEXT;
        return text_empty ? NUMBER_KEEP_TEXT : NUMBER_RESET_TEXT;
    }
    // A number above the limit is refused silently: the setting keeps the last value stored
    // while the text stays as typed, so typing 300 leaves 30.
    if (value <= NUMBER_FIELD_MAX)
        store_number_field(control_id, value);
    return NUMBER_KEEP_TEXT;
}

void take_chosen_lookup_path()
{
    const char *last_backslash = std::strrchr(lookup_path, '\\');
    const char *name = last_backslash ? last_backslash + 1 : lookup_path;
    // Both parts come from lookup_path, which is no longer than either destination.
    std::size_t folder_length = static_cast<std::size_t>(name - lookup_path);
    std::memmove(settings.folder, lookup_path, folder_length);
    settings.folder[folder_length] = '\0';
    std::memmove(settings.lookup_name, name, std::strlen(name) + 1);
}
