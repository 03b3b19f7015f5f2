// The Progress box for Windows: a white 40-pixel-high box with one centred line, painted
// straight onto the screen's device context at the centre of the primary display.
// Owns: status_text, progress_line, the box's centre and width, and the saved screen area
// (a memory DC with the pixels under the box, present from an open to the next close).
#include "progress.h"

#include "messages.h"

#include <windows.h>

char status_text[256];

namespace {

const int BOX_HEIGHT = 40;

// The line last drawn. Its first content only sizes the first box. It holds the longest line
// an update can format: all of status_text, a space and a 32-bit number with its sign.
char progress_line[sizeof status_text + 1 + 11] = MSG_PROGRESS_INITIAL;

int centre_x;
int centre_y;
int box_width;

HDC saved_dc;
HBITMAP saved_bitmap;
HGDIOBJ saved_dc_old_bitmap;

int box_left()
{
    return centre_x - box_width / 2;
}

int box_top()
{
    return centre_y - BOX_HEIGHT / 2;
}

// Puts the saved pixels back and frees them; nothing when nothing is saved.
void restore_saved_area(HDC screen)
{
    if (!saved_bitmap)
        return;
    BitBlt(screen, box_left(), box_top(), box_width, BOX_HEIGHT, saved_dc, 0, 0, SRCCOPY);
    SelectObject(saved_dc, saved_dc_old_bitmap);
    DeleteDC(saved_dc);
    DeleteObject(saved_bitmap);
    saved_dc = nullptr;
    saved_bitmap = nullptr;
}

void open_box(HDC screen)
{
    // A second open first gives back the area of the first, so nothing is lost or leaked.
    restore_saved_area(screen);

    centre_x = GetDeviceCaps(screen, HORZRES) / 2;
    centre_y = GetDeviceCaps(screen, VERTRES) / 2;
    SIZE extent = {0, 0};
    GetTextExtentPoint32A(screen, progress_line, lstrlenA(progress_line), &extent);
    box_width = extent.cx + 100;

    saved_dc = CreateCompatibleDC(screen);
    saved_bitmap = CreateCompatibleBitmap(screen, box_width, BOX_HEIGHT);
    saved_dc_old_bitmap = SelectObject(saved_dc, saved_bitmap);
    BitBlt(saved_dc, 0, 0, box_width, BOX_HEIGHT, screen, box_left(), box_top(), SRCCOPY);
}

void update_box(HDC screen, int value)
{
    HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));
    SetBkMode(screen, TRANSPARENT);
    HGDIOBJ old_brush = SelectObject(screen, white);

    RECT box;
    box.left = box_left();
    box.top = box_top();
    box.right = centre_x + box_width / 2;
    box.bottom = centre_y + BOX_HEIGHT / 2;

    // Callers fill status_text; a label that was left unterminated is cut at its buffer.
    status_text[sizeof status_text - 1] = '\0';
    wsprintfA(progress_line, "%s %d", status_text, value);

    Rectangle(screen, box.left, box.top, box.right, box.bottom);
    DrawTextA(screen, progress_line, -1, &box, DT_SINGLELINE | DT_VCENTER | DT_CENTER);

    SelectObject(screen, old_brush);
    DeleteObject(white);
}

// Drawing to the screen is batched, and the callers go on without handling a message (the job
// sleeps 3 s right after the close): the batch is handed over here, so that the box shows, and
// goes, when it is called for. GdiFlush does it on Windows; under Wine it does nothing, and the
// drawing waits in the program's display connection, but a read of the screen sends it first.
void flush_drawing(HDC screen)
{
    GdiFlush();
    GetPixel(screen, centre_x, centre_y);
}

} // namespace

void show_progress(int mode, int value)
{
    HDC screen = GetDC(nullptr);
    if (mode == PROGRESS_OPEN)
        open_box(screen);
    else if (mode == PROGRESS_UPDATE)
        update_box(screen, value);
    else
        restore_saved_area(screen);
    flush_drawing(screen);
    ReleaseDC(nullptr, screen);
}

// The box shows the label and the value alone; a phase changes nothing on the screen.
void progress_phase(progress_unit, long) {}
