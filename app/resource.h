// Resource names and control ids of the program, shared by kestrel.rc and the code that
// drives the Properties dialog. Plain numbers only: the resource compiler reads this file too.
#ifndef KESTREL_RESOURCE_H
#define KESTREL_RESOURCE_H

// Resource names: the Properties dialog template and the program's icon group.
#define PROPERTIES_DIALOG_NAME  "PropertiesDlg"
#define PROGRAM_ICON_NAME       "lookup"

// Labels, the hidden announcement and the two frames carry no id of their own.
#define IDC_UNNAMED             -1

// Properties dialog: the lookup file.
#define IDC_FOLDER              601   // folder of the lookup file
#define IDC_LOOKUP_NAME         602   // its file name
#define IDC_BROWSE              501   // "..." opens the file chooser

// The line and its keys: numbers, stored while they are typed.
#define IDC_LINE_LENGTH         603
#define IDC_KEY1_OFFSET         604
#define IDC_KEY1_LENGTH         605
#define IDC_KEY2_OFFSET         1011
#define IDC_KEY2_LENGTH         1012

// The lists.
#define IDC_COM_PORT            701   // COM1 .. COM6
#define IDC_BAUD_RATE           702   // 115200 .. 9600, editable
#define IDC_SEND_MODE           703   // hidden
#define IDC_LOOKUP_SLOT         704   // hidden
#define IDC_INDEX_SLOT          705   // hidden

// Hidden check box that carries show_dialog through the dialog.
#define IDC_SHOW_DIALOG         803

// The dialog's own buttons keep the platform's ids: OK 1, Cancel 2.
#define IDC_OK                  1
#define IDC_CANCEL              2

#endif
