// The GDI Progress box on a real screen device context (Windows builds, run under Wine): the
// box is painted at the centre and the pixels under it come back on close.
#include "progress.h"

#include <gtest/gtest.h>

#include <cstring>
#include <windows.h>

namespace {

const COLORREF BACKGROUND = RGB(200, 30, 40);

class progress_box_test : public testing::Test {
protected:
    void SetUp() override
    {
        screen = GetDC(nullptr);
        ASSERT_NE(screen, nullptr);
        cx = GetDeviceCaps(screen, HORZRES) / 2;
        cy = GetDeviceCaps(screen, VERTRES) / 2;
        if (cx < 200 || cy < 40)
            GTEST_SKIP() << "no screen of a usable size";
        RECT area = {cx - 300, cy - 60, cx + 300, cy + 60};
        HBRUSH brush = CreateSolidBrush(BACKGROUND);
        FillRect(screen, &area, brush);
        DeleteObject(brush);
        if (GetPixel(screen, cx, cy) != BACKGROUND)
            GTEST_SKIP() << "the screen does not keep what is painted on it";
    }
    void TearDown() override
    {
        show_progress(PROGRESS_CLOSE, 0);
        if (screen)
            ReleaseDC(nullptr, screen);
    }

    HDC screen = nullptr;
    int cx = 0;
    int cy = 0;
};

TEST_F(progress_box_test, update_paints_a_white_box_and_close_restores_the_screen)
{
    show_progress(PROGRESS_OPEN, 0);
    EXPECT_EQ(GetPixel(screen, cx, cy), BACKGROUND) << "opening draws nothing";

    std::strcpy(status_text, "       Konwersja pliku : ");
    show_progress(PROGRESS_UPDATE, 50);
    // Inside the box, between the text and the border, the box is white.
    EXPECT_EQ(GetPixel(screen, cx, cy - 17), RGB(255, 255, 255));
    // The border is the default black pen, 20 pixels above the centre.
    EXPECT_EQ(GetPixel(screen, cx, cy - 20), RGB(0, 0, 0));
    EXPECT_EQ(GetPixel(screen, cx, cy - 21), BACKGROUND) << "the box is 40 pixels high";

    show_progress(PROGRESS_CLOSE, 0);
    for (int dy = -20; dy < 20; dy += 3)
        EXPECT_EQ(GetPixel(screen, cx, cy + dy), BACKGROUND) << dy;
}

TEST_F(progress_box_test, close_without_open_and_second_open_lose_nothing)
{
    show_progress(PROGRESS_CLOSE, 0);
    show_progress(7, 0);
    EXPECT_EQ(GetPixel(screen, cx, cy), BACKGROUND);

    show_progress(PROGRESS_OPEN, 0);
    std::strcpy(status_text, "x");
    show_progress(PROGRESS_UPDATE, 1);
    // A second open while the first box is on the screen first puts the first area back.
    show_progress(PROGRESS_OPEN, 0);
    EXPECT_EQ(GetPixel(screen, cx, cy - 17), BACKGROUND);
    show_progress(PROGRESS_UPDATE, 2);
    show_progress(PROGRESS_CLOSE, 0);
    EXPECT_EQ(GetPixel(screen, cx, cy - 17), BACKGROUND);
}

TEST_F(progress_box_test, longest_label_and_number_are_drawn_without_overrun)
{
    show_progress(PROGRESS_OPEN, 0);
    std::memset(status_text, 'W', sizeof status_text); // not even terminated
    show_progress(PROGRESS_UPDATE, -2147483647 - 1);
    show_progress(PROGRESS_CLOSE, 0);
    EXPECT_EQ(GetPixel(screen, cx, cy), BACKGROUND);
    status_text[0] = '\0';
}

} // namespace
