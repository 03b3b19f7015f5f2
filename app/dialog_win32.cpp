// The Properties dialog on Windows: the template "PropertiesDlg" driven over settings.
// The dialog keeps no state of its own: number fields go to settings as they are typed,
// the text fields and the lists when OK is pressed.
#include "line_table.h"
#include "properties_dialog.h"

#include "resource.h"
#include "settings.h"

#include <windows.h>
#include <commdlg.h>

#include <cstddef>
#include <cstring>

// OK copies at most this many characters of the two text fields.
enum {
    FOLDER_FIELD_MAX = 254,
    LOOKUP_NAME_FIELD_MAX = 61,
    CHOOSER_BUFFER_CHARS = 260 // what the file chooser may write into lookup_path
};

static_assert(static_cast<int>(CHOOSER_BUFFER_CHARS) <= static_cast<int>(PATH_BUFFER_SIZE),
              "the chooser's result must fit lookup_path");

// The request size of the chooser's record: the older layout that ends with lpTemplateName
// (OPENFILENAME_SIZE_VERSION_400), 76 bytes in the 32-bit program. The platform's own macro
// is no constant expression, hence offsetof.
static const DWORD CHOOSER_RECORD_SIZE =
    offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR);
#if !defined(_WIN64)
static_assert(offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76,
              "the 32-bit chooser record is 76 bytes");
#endif

static const char *const lookup_slot_names[] = {"1. lookup", "2. lookup", "3. lookup"};
static const char *const index_slot_names[] = {"1. index", "2. index", "3. index"};
static const char *const send_mode_names[] = {"No", "After succesfull conversion", "Allways"};

// Appends count entries to list control_id, in order, and selects entry selected (an index
// outside the list leaves none selected).
static void fill_list(HWND dialog, int control_id, const char *const *names, int count,
                      int selected)
{
    for (int i = 0; i < count; i++)
        SendDlgItemMessageA(dialog, control_id, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(names[i]));
    SendDlgItemMessageA(dialog, control_id, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

// Shows value as decimal text. A negative value is written with its sign, which the number
// rule then turns into "0".
static void set_number_field(HWND dialog, int control_id, int value)
{
    SetDlgItemInt(dialog, control_id, static_cast<UINT>(value), TRUE);
}

// WM_INITDIALOG: every control from settings. Setting the number texts runs the number rule
// on each value once, through their change notifications.
static void on_init_dialog(HWND dialog)
{
    SetDlgItemTextA(dialog, IDC_FOLDER, settings.folder);
    SetDlgItemTextA(dialog, IDC_LOOKUP_NAME, settings.lookup_name);

    set_number_field(dialog, IDC_LINE_LENGTH, settings.line_length);
    set_number_field(dialog, IDC_KEY1_OFFSET, settings.key1_offset);
    set_number_field(dialog, IDC_KEY1_LENGTH, settings.key1_length);
    set_number_field(dialog, IDC_KEY2_OFFSET, settings.key2_offset);
    set_number_field(dialog, IDC_KEY2_LENGTH, settings.key2_length);

    fill_list(dialog, IDC_COM_PORT, COM_PORT_NAMES, COM_PORT_COUNT, settings.com_index);
    fill_list(dialog, IDC_BAUD_RATE, LINE_RATE_NAMES, LINE_RATE_COUNT, settings.baud_index);
    fill_list(dialog, IDC_LOOKUP_SLOT, lookup_slot_names, 3, 0);
    fill_list(dialog, IDC_INDEX_SLOT, index_slot_names, 3, 0);
    fill_list(dialog, IDC_SEND_MODE, send_mode_names, 3, settings.send_mode);

    CheckDlgButton(dialog, IDC_SHOW_DIALOG, settings.show_dialog ? BST_CHECKED : BST_UNCHECKED);
}

// EN_CHANGE of a number field: the number rule on its new text.
static void on_number_field_change(HWND dialog, int control_id)
{
    BOOL translated = FALSE;
    UINT value = GetDlgItemInt(dialog, control_id, &translated, FALSE);
    int text_empty = GetWindowTextLengthA(GetDlgItem(dialog, control_id)) == 0;
    if (apply_number_field(control_id, translated ? 1 : 0, value, text_empty) == NUMBER_RESET_TEXT)
        SetDlgItemTextA(dialog, control_id, "0"); // its own change notification stores 0 again
}

// "...": the chosen file becomes folder and name, in settings and on screen.
static void on_browse(HWND dialog)
{
    if (!choose_lookup_file())
        return;
    take_chosen_lookup_path();
    SetDlgItemTextA(dialog, IDC_FOLDER, settings.folder);
    SetDlgItemTextA(dialog, IDC_LOOKUP_NAME, settings.lookup_name);
}

// OK: the fields that were not stored while typing, then the end of the dialog.
static void on_ok(HWND dialog)
{
    GetDlgItemTextA(dialog, IDC_FOLDER, settings.folder, FOLDER_FIELD_MAX + 1);
    GetDlgItemTextA(dialog, IDC_LOOKUP_NAME, settings.lookup_name, LOOKUP_NAME_FIELD_MAX + 1);
    compose_lookup_path();
    settings.com_index = static_cast<int>(SendDlgItemMessageA(dialog, IDC_COM_PORT, CB_GETCURSEL, 0, 0));
    settings.baud_index = static_cast<int>(SendDlgItemMessageA(dialog, IDC_BAUD_RATE, CB_GETCURSEL, 0, 0));
    settings.show_dialog = IsDlgButtonChecked(dialog, IDC_SHOW_DIALOG) == BST_CHECKED ? 1 : 0;
    EndDialog(dialog, DIALOG_OK);
}

// The dialog procedure. TRUE for the initialisation (the focus goes to the first tab stop,
// the folder field) and for OK; FALSE for everything else.
static INT_PTR CALLBACK properties_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        on_init_dialog(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;

    int control_id = LOWORD(wparam);
    int notification = HIWORD(wparam);
    switch (control_id) {
    case IDC_LINE_LENGTH:
    case IDC_KEY1_OFFSET:
    case IDC_KEY1_LENGTH:
    case IDC_KEY2_OFFSET:
    case IDC_KEY2_LENGTH:
        if (notification == EN_CHANGE)
            on_number_field_change(dialog, control_id);
        return FALSE;
    case IDC_BROWSE:
        on_browse(dialog);
        return FALSE;
    case IDC_SHOW_DIALOG:
        // A manual check box: its click toggles its own mark.
        CheckDlgButton(dialog, IDC_SHOW_DIALOG,
                       IsDlgButtonChecked(dialog, IDC_SHOW_DIALOG) == BST_CHECKED ? BST_UNCHECKED
                                                                                  : BST_CHECKED);
        return FALSE;
    case IDC_OK:
        on_ok(dialog);
        return TRUE;
    case IDC_CANCEL: // also Escape and the close box
        EndDialog(dialog, DIALOG_CANCEL);
        return FALSE;
    }
    return FALSE;
}

int choose_lookup_file()
{
    // The chooser proposes the current name; it may write back up to 260 characters.
    std::strncpy(lookup_path, settings.lookup_name, CHOOSER_BUFFER_CHARS - 1);
    lookup_path[CHOOSER_BUFFER_CHARS - 1] = '\0';

    static const char filters[] = "Text lookup files (*.TXT)\0*.TXT\0"
                                  "All files (*.*)\0*.*\0";
    OPENFILENAMEA chooser;
    std::memset(&chooser, 0, sizeof chooser);
    chooser.lStructSize = CHOOSER_RECORD_SIZE;
    chooser.hwndOwner = GetActiveWindow();
    chooser.hInstance = static_cast<HINSTANCE>(app_instance);
    chooser.lpstrFilter = filters;
    chooser.nFilterIndex = 1;
    chooser.lpstrFile = lookup_path;
    chooser.nMaxFile = CHOOSER_BUFFER_CHARS;
    chooser.lpstrInitialDir = settings.folder;
    chooser.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST;
    chooser.lpstrDefExt = "TXT";
    return GetSaveFileNameA(&chooser) ? 1 : 0;
}

int show_properties_dialog()
{
    INT_PTR result = DialogBoxParamA(static_cast<HINSTANCE>(app_instance), "PropertiesDlg",
                                     GetActiveWindow(), properties_dialog_proc, 0);
    return result == DIALOG_OK || result == DIALOG_CANCEL ? static_cast<int>(result)
                                                          : DIALOG_FAILED;
}
