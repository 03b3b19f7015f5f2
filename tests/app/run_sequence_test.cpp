// The run sequence over its seams: a scripted Properties dialog and convert-and-send job
// defined here, the recording Progress box and message boxes, and the real settings and
// platform files in a folder of the test's own.
#include "convert_job.h"
#include "messages.h"
#include "platform.h"
#include "progress.h"
#include "properties_dialog.h"
#include "recorded.h"
#include "run_sequence.h"
#include "settings.h"
#include "test_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// What the scripted dialog does: its result, and what the user changed before it ended.
int dialog_result;
int dialog_calls;
std::string dialog_sets_lookup_name; // empty: leaves lookup_name alone
int dialog_sets_line_length = -1;    // -1: leaves line_length alone

// What the scripted job returns and what it saw when it ran.
int job_result;
int job_calls;
platform_file job_saw_handle;
char job_saw_first_bytes[8];
int job_saw_box_open;
int job_saw_progress_calls;
int job_saw_settings_file; // 1 when tabsync.ini existed while the job ran

} // namespace

int show_properties_dialog()
{
    dialog_calls++;
    if (!dialog_sets_lookup_name.empty())
        std::snprintf(settings.lookup_name, sizeof settings.lookup_name, "%s",
                      dialog_sets_lookup_name.c_str());
    if (dialog_sets_line_length >= 0)
        settings.line_length = static_cast<unsigned char>(dialog_sets_line_length);
    return dialog_result;
}

int convert_and_send()
{
    job_calls++;
    job_saw_handle = lookup_handle;
    std::memset(job_saw_first_bytes, 0, sizeof job_saw_first_bytes);
    if (lookup_handle != PLATFORM_FILE_INVALID)
        platform_read(lookup_handle, job_saw_first_bytes, sizeof job_saw_first_bytes - 1);
    job_saw_box_open = progress_box_open;
    job_saw_progress_calls = progress_call_count;
    job_saw_settings_file = access(settings_path, F_OK) == 0;
    // The real job closes the conversion's Progress box whatever the conversion gave.
    show_progress(PROGRESS_CLOSE, 0);
    return job_result;
}

class RunSequence : public ::testing::Test {
protected:
    test_folder folder;
    std::string lookup = folder.file("LOOKUP.TXT");

    void SetUp() override
    {
        folder.write("LOOKUP.TXT", "LINE0001\rLINE0002\r");

        // No settings file yet: the defaults, the paths in the test's folder.
        ASSERT_EQ(load_settings_for(folder.file("kestrel.exe").c_str()), 1);
        // The folder setting is Windows-style; a full name with an empty folder is used as is.
        settings.folder[0] = '\0';
        std::snprintf(settings.lookup_name, sizeof settings.lookup_name, "%s", lookup.c_str());
        settings.show_dialog = 0;

        clear_recorded();
        dialog_result = DIALOG_OK;
        dialog_calls = 0;
        dialog_sets_lookup_name.clear();
        dialog_sets_line_length = -1;
        job_result = 1;
        job_calls = 0;
        job_saw_handle = PLATFORM_FILE_INVALID;
        job_saw_box_open = 0;
        job_saw_progress_calls = 0;
        job_saw_settings_file = 0;
    }

    // 1 when the job's handle is still an open descriptor.
    static bool still_open(platform_file handle)
    {
        return fcntl(static_cast<int>(handle), F_GETFD) != -1;
    }
};

TEST_F(RunSequence, WithoutDialogOpensTheStoredLookupFileAndRunsTheJobOnce)
{
    EXPECT_EQ(run_sequence(), 1);

    EXPECT_EQ(dialog_calls, 0);
    EXPECT_FALSE(folder.exists("tabsync.ini")) << "the settings file is rewritten only after OK";
    EXPECT_STREQ(lookup_path, lookup.c_str());

    ASSERT_EQ(job_calls, 1);
    EXPECT_NE(job_saw_handle, PLATFORM_FILE_INVALID);
    EXPECT_STREQ(job_saw_first_bytes, "LINE000") << "the job reads the lookup file from its start";
    EXPECT_EQ(job_saw_box_open, 1);
    EXPECT_EQ(job_saw_progress_calls, 1);
    ASSERT_GE(progress_call_count, 1);
    EXPECT_EQ(progress_calls[0].mode, PROGRESS_OPEN);
    EXPECT_EQ(progress_calls[0].value, 0);

    EXPECT_EQ(message_call_count, 0);
    EXPECT_EQ(lookup_handle, PLATFORM_FILE_INVALID);
    EXPECT_FALSE(still_open(job_saw_handle)) << "the lookup file is closed after the job";
}

TEST_F(RunSequence, OkSavesTheSettingsAsTheDialogLeftThemBeforeTheLookupFileIsOpened)
{
    settings.show_dialog = 1;
    settings.lookup_name[0] = '\0';
    dialog_sets_lookup_name = lookup;
    dialog_sets_line_length = 40;

    EXPECT_EQ(run_sequence(), 1);

    EXPECT_EQ(dialog_calls, 1);
    EXPECT_EQ(job_calls, 1);
    EXPECT_EQ(job_saw_settings_file, 1);
    EXPECT_EQ(folder.read("tabsync.ini"), "\r\n" + lookup + "\r\n40\r\n1\r\n1\r\n0\r\n0\r\n1\r\n2\r\n1\r\n");
    EXPECT_EQ(message_call_count, 0);
}

TEST_F(RunSequence, CancelEndsTheRunWithNothingWrittenOpenedOrSent)
{
    settings.show_dialog = 1;
    dialog_result = DIALOG_CANCEL;
    dialog_sets_line_length = 99; // stored while typing, then cancelled

    EXPECT_EQ(run_sequence(), 0);

    EXPECT_EQ(dialog_calls, 1);
    EXPECT_FALSE(folder.exists("tabsync.ini"));
    EXPECT_EQ(job_calls, 0);
    EXPECT_EQ(progress_call_count, 0);
    EXPECT_EQ(message_call_count, 0);
    EXPECT_EQ(lookup_handle, PLATFORM_FILE_INVALID);
}

TEST_F(RunSequence, ADialogThatCouldNotBeShownGoesOnAsAfterOk)
{
    settings.show_dialog = 1;
    dialog_result = DIALOG_FAILED;

    EXPECT_EQ(run_sequence(), 1);

    EXPECT_TRUE(folder.exists("tabsync.ini"));
    EXPECT_EQ(job_calls, 1);
}

TEST_F(RunSequence, MissingLookupFileIsReportedWithoutOwnerAndNothingRuns)
{
    std::snprintf(settings.lookup_name, sizeof settings.lookup_name, "%s",
                  folder.file("NOSUCH.TXT").c_str());

    EXPECT_EQ(run_sequence(), -1);

    ASSERT_EQ(message_call_count, 1);
    EXPECT_STREQ(message_calls[0].text, "Can't open lookop file!");
    EXPECT_STREQ(message_calls[0].caption, "Error");
    EXPECT_EQ(message_calls[0].owner, OWNER_NONE);
    EXPECT_EQ(message_calls[0].style, 0x30u) << "exclamation icon, OK button";
    EXPECT_EQ(progress_call_count, 0);
    EXPECT_EQ(job_calls, 0);
    EXPECT_EQ(lookup_handle, PLATFORM_FILE_INVALID);
}

TEST_F(RunSequence, SettingsConfirmedInTheDialogStaySavedWhenTheLookupFileIsMissing)
{
    settings.show_dialog = 1;
    dialog_sets_lookup_name = folder.file("NOSUCH.TXT");

    EXPECT_EQ(run_sequence(), -1);

    EXPECT_NE(folder.read("tabsync.ini").find("NOSUCH.TXT\r\n"), std::string::npos);
    EXPECT_EQ(message_call_count, 1);
}

TEST_F(RunSequence, FolderAndLookupNameAreJoinedWithABackslash)
{
    // Here the backslash is an ordinary character of a file name, which makes the join visible.
    // A folder with a backslash in it is joined with one, whatever else it holds.
    folder.write("sub\\dir\\LOOKUP.TXT", "JOINED01\r");
    std::snprintf(settings.folder, sizeof settings.folder, "%ssub\\dir", folder.path().c_str());
    std::snprintf(settings.lookup_name, sizeof settings.lookup_name, "LOOKUP.TXT");

    EXPECT_EQ(run_sequence(), 1);
    std::string joined = folder.file("sub\\dir\\LOOKUP.TXT");

    EXPECT_STREQ(lookup_path, joined.c_str());
    EXPECT_STREQ(job_saw_first_bytes, "JOINED0");
}

TEST_F(RunSequence, FailedConversionIsReportedOwnedByTheActiveWindowAndStillReturnsOne)
{
    job_result = 0;

    EXPECT_EQ(run_sequence(), 1);

    ASSERT_EQ(message_call_count, 1);
    EXPECT_STREQ(message_calls[0].text, "Conversion of lookup file failed!");
    EXPECT_STREQ(message_calls[0].caption, "Error");
    EXPECT_EQ(message_calls[0].owner, OWNER_ACTIVE);
    EXPECT_EQ(message_calls[0].style, 0x30u);
    // Open, the job's own close, and the run sequence's second close, which changes nothing.
    ASSERT_EQ(progress_call_count, 3);
    EXPECT_EQ(progress_calls[2].mode, PROGRESS_CLOSE);
    EXPECT_EQ(progress_calls[2].value, 0);
    EXPECT_EQ(progress_box_open, 0);
    EXPECT_FALSE(still_open(job_saw_handle));
    EXPECT_EQ(lookup_handle, PLATFORM_FILE_INVALID);
}

TEST_F(RunSequence, SuccessfulJobLeavesTheReportingToTheSender)
{
    EXPECT_EQ(run_sequence(), 1);
    EXPECT_EQ(message_call_count, 0);
    EXPECT_EQ(progress_call_count, 2); // open, and the job's close
}
