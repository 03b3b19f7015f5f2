// The Properties dialog's window-free rules: the number fields as they are typed and the
// split of a chosen path into folder and file name.
#include "properties_dialog.h"
#include "resource.h"
#include "settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

void reset_settings()
{
    std::memset(&settings, 0, sizeof settings);
    settings.line_length = 77;
    settings.key1_offset = 11;
    settings.key1_length = 12;
    settings.key2_offset = 13;
    settings.key2_length = 14;
}

// Feeds one change of text to the rule the way the dialog reads it: GetDlgItemInt's unsigned
// reading either yields a number or fails.
number_field_action type(int control_id, const char *text)
{
    unsigned value = 0;
    int translated = 0;
    if (text[0] != '\0' && std::strspn(text, "0123456789") == std::strlen(text) &&
        std::strlen(text) <= 9) {
        translated = 1;
        value = static_cast<unsigned>(std::strtoul(text, nullptr, 10));
    }
    return apply_number_field(control_id, translated, value, text[0] == '\0');
}

} // namespace

TEST(NumberField, TypingDigitByDigitStopsAtTheLastValueWithinTheLimit)
{
    reset_settings();
    EXPECT_EQ(type(IDC_LINE_LENGTH, "3"), NUMBER_KEEP_TEXT);
    EXPECT_EQ(settings.line_length, 3);
    EXPECT_EQ(type(IDC_LINE_LENGTH, "30"), NUMBER_KEEP_TEXT);
    EXPECT_EQ(settings.line_length, 30);
    EXPECT_EQ(type(IDC_LINE_LENGTH, "300"), NUMBER_KEEP_TEXT) << "the text stays as typed";
    EXPECT_EQ(settings.line_length, 30);
}

TEST(NumberField, TheLimitIsInclusive)
{
    reset_settings();
    type(IDC_KEY1_OFFSET, "250");
    EXPECT_EQ(settings.key1_offset, 250);
    type(IDC_KEY1_OFFSET, "251");
    EXPECT_EQ(settings.key1_offset, 250);
    type(IDC_KEY1_OFFSET, "0");
    EXPECT_EQ(settings.key1_offset, 0);
}

TEST(NumberField, UnreadableTextStoresZeroAndShowsZeroUnlessTheFieldWasCleared)
{
    reset_settings();
    EXPECT_EQ(type(IDC_KEY1_LENGTH, "abc"), NUMBER_RESET_TEXT);
    EXPECT_EQ(settings.key1_length, 0);
    // The "0" put into the field raises one more change, which stores 0 again and stops.
    EXPECT_EQ(type(IDC_KEY1_LENGTH, "0"), NUMBER_KEEP_TEXT);
    EXPECT_EQ(settings.key1_length, 0);

    settings.key2_offset = 40;
    EXPECT_EQ(type(IDC_KEY2_OFFSET, ""), NUMBER_KEEP_TEXT);
    EXPECT_EQ(settings.key2_offset, 0);

    // A negative value from a hand-edited file is shown with its sign and then becomes 0.
    settings.key2_length = -5;
    EXPECT_EQ(type(IDC_KEY2_LENGTH, "-5"), NUMBER_RESET_TEXT);
    EXPECT_EQ(settings.key2_length, 0);
}

TEST(NumberField, ANumberBeyond32BitsIsUnreadable)
{
    reset_settings();
    EXPECT_EQ(apply_number_field(IDC_LINE_LENGTH, 0, 0, 0), NUMBER_RESET_TEXT);
    EXPECT_EQ(settings.line_length, 0);
}

TEST(NumberField, AValueAboveTheLimitFromTheSettingsSurvivesItsFirstShowing)
{
    reset_settings();
    settings.key1_offset = 300;
    type(IDC_KEY1_OFFSET, "300");
    EXPECT_EQ(settings.key1_offset, 300);
}

TEST(NumberField, EachFieldFeedsItsOwnSettingAndNoOther)
{
    reset_settings();
    type(IDC_LINE_LENGTH, "1");
    type(IDC_KEY1_OFFSET, "2");
    type(IDC_KEY1_LENGTH, "3");
    type(IDC_KEY2_OFFSET, "4");
    type(IDC_KEY2_LENGTH, "5");
    EXPECT_EQ(settings.line_length, 1);
    EXPECT_EQ(settings.key1_offset, 2);
    EXPECT_EQ(settings.key1_length, 3);
    EXPECT_EQ(settings.key2_offset, 4);
    EXPECT_EQ(settings.key2_length, 5);

    // Other controls are no number fields: nothing is stored and their text is left alone.
    EXPECT_EQ(type(IDC_FOLDER, "abc"), NUMBER_KEEP_TEXT);
    EXPECT_EQ(type(IDC_COM_PORT, "7"), NUMBER_KEEP_TEXT);
    EXPECT_EQ(settings.line_length, 1);
    EXPECT_EQ(settings.com_index, 0);
}

TEST(ChosenPath, SplitsAtTheLastBackslashKeepingItWithTheFolder)
{
    reset_settings();
    std::snprintf(lookup_path, sizeof lookup_path, "D:\\dane\\lookup\\ART.TXT");
    take_chosen_lookup_path();
    EXPECT_STREQ(settings.folder, "D:\\dane\\lookup\\");
    EXPECT_STREQ(settings.lookup_name, "ART.TXT");
}

TEST(ChosenPath, APathWithoutBackslashIsAllName)
{
    reset_settings();
    std::snprintf(settings.folder, sizeof settings.folder, "C:\\old\\");
    std::snprintf(lookup_path, sizeof lookup_path, "ART.TXT");
    take_chosen_lookup_path();
    EXPECT_STREQ(settings.folder, "");
    EXPECT_STREQ(settings.lookup_name, "ART.TXT");
}
