// kestrel-cli convert: the lookup conversion of kestrel.exe into a file set named by the user.
// The conversion writes its working set (~tmpdbf.db0..) beside the target, as kestrel.exe
// writes it beside itself; only a complete set is renamed to BASE.db0.., so BASE never names
// a half-written file, and a failed conversion leaves the files of an earlier one untouched.
#include "cli.h"
#include "console.h"
#include "convert_job.h"
#include "interrupt.h"
#include "lookup_convert.h"
#include "message_box.h"
#include "messages.h"
#include "platform.h"
#include "progress.h"
#include "settings.h"

#include <cstdio>
#include <cstring>

namespace {

enum { STORE_NAME_MAX = 250 }; // the longest base name the record store takes

long lookup_records; // the records the open lookup file holds, counted by open_lookup

struct convert_request {
    const char *lookup;
    const char *out;
    int line_length;
    int key1[2]; // position (1-based) and length
    int key2[2]; // 0, 0 when there is no second key
};

void print_help()
{
    std::printf(
        "Usage: kestrel-cli convert LOOKUP --line-length N --key1 POS:LEN [--key2 POS:LEN]\n"
        "                           [--out BASE]\n"
        "\n"
        "Converts the lookup file LOOKUP as kestrel.exe does: every line (ended by CR) becomes a\n"
        "record of N bytes (1 to 255) in BASE.db0, indexed by key 1 in BASE.db1 and, with\n"
        "--key2, by key 2 in BASE.db2. POS is the key's position in the line, counted from 1 as\n"
        "in the Properties dialog; LEN its length; the key must lie within the N bytes.\n"
        "BASE defaults to dbf1 in the current folder. The files are written under working names\n"
        "(~tmpdbf.db0 ...) in BASE's folder and renamed when the conversion is complete; a\n"
        "BASE.db2 left by an earlier conversion goes when the new one has one key (a file\n"
        "that cannot be removed or renamed fails the run, named with the reason). The run\n"
        "holds the working names with a lock file (~tmpdbf.lck) while it lasts.\n"
        "\n"
        "Exit status: 0 done, 2 bad usage, 3 LOOKUP cannot be read, 4 the conversion failed,\n"
        "8 another run is using the working files of BASE's folder, 130 or 143 interrupted\n"
        "(the working files are removed).\n");
}

// "POS:LEN" with both from 1 to 255.
int parse_key(const char *text, const char *option, int *key)
{
    const char *colon = std::strchr(text, ':');
    char position[8];
    const std::size_t length = colon ? static_cast<std::size_t>(colon - text) : 0;
    if (colon && length < sizeof position) {
        std::memcpy(position, text, length);
        position[length] = '\0';
        if (parse_number(position, 1, 255, &key[0]) && parse_number(colon + 1, 1, 255, &key[1]))
            return 1;
    }
    complain("%s %s: expected POS:LEN, two numbers from 1 to 255", option, text);
    return 0;
}

int key_in_line(const int *key, int line_length, const char *option)
{
    if (key[0] + key[1] - 1 <= line_length)
        return 1;
    complain("%s %d:%d lies outside a line of %d characters", option, key[0], key[1],
             line_length);
    return 0;
}

// One argument of the command line into the request: 1 taken, 0 not an option of convert,
// -1 after a message.
int take_argument(int count, char **args, int *at, convert_request *request)
{
    const char *value = nullptr;
    int taken;
    if ((taken = take_option(count, args, at, "--line-length", &value)) != 0) {
        if (taken > 0 && !parse_number(value, 1, 255, &request->line_length)) {
            complain("--line-length %s: expected a number from 1 to 255", value);
            return -1;
        }
        return taken;
    }
    if ((taken = take_option(count, args, at, "--key1", &value)) != 0)
        return taken > 0 && !parse_key(value, "--key1", request->key1) ? -1 : taken;
    if ((taken = take_option(count, args, at, "--key2", &value)) != 0)
        return taken > 0 && !parse_key(value, "--key2", request->key2) ? -1 : taken;
    if ((taken = take_option(count, args, at, "--out", &value)) != 0) {
        request->out = value;
        return taken;
    }
    return 0;
}

// 1 with the request complete and consistent, 0 after the help, -1 after a message.
int parse_request(int count, char **args, convert_request *request)
{
    *request = convert_request{nullptr, "dbf1", 0, {0, 0}, {0, 0}};
    for (int at = 0; at < count;) {
        if (is_help(args[at])) {
            print_help();
            return 0;
        }
        int taken = take_argument(count, args, &at, request);
        if (taken < 0)
            return -1;
        if (taken > 0)
            continue;
        if (args[at][0] == '-' || request->lookup) {
            complain("convert: unexpected argument %s (see kestrel-cli convert --help)", args[at]);
            return -1;
        }
        request->lookup = args[at++];
    }
    if (!request->lookup || request->line_length == 0 || request->key1[0] == 0) {
        complain("convert needs LOOKUP, --line-length and --key1 (see kestrel-cli convert --help)");
        return -1;
    }
    if (!key_in_line(request->key1, request->line_length, "--key1") ||
        (request->key2[0] > 0 && !key_in_line(request->key2, request->line_length, "--key2")))
        return -1;
    return 1;
}

// Removes whatever the conversion left under the working names, saying what stays.
void remove_working_set()
{
    if (remove_set(working_set(), SET_FILES_MAX) >= 0)
        complain_set_fault();
}

// Sets temp_base to the working name in out's folder. 0 after a message when it cannot be.
int set_work_base(const char *out)
{
    std::size_t folder = 0;
    for (std::size_t i = 0; out[i] != '\0'; i++) {
        if (out[i] == '/' || out[i] == '\\')
            folder = i + 1;
    }
    if (std::strcmp(out + folder, WORK_SET_NAME) == 0 || out[folder] == '\0') {
        complain("--out %s: not a name for the files (%s is the working name)", out,
                 WORK_SET_NAME);
        return 0;
    }
    if (folder + sizeof WORK_SET_NAME - 1 > STORE_NAME_MAX ||
        std::strlen(out) + 4 >= static_cast<std::size_t>(PATH_BUFFER_SIZE) || !set_temp_base(out)) {
        complain("--out %s: the path is too long", out);
        return 0;
    }
    return 1;
}

// Replaces BASE.db0.. with the working files, so that BASE never holds a mixed set, nor a
// second index of an earlier conversion beside a one-key set. 0 after a message that names
// the file and the reason when a removal or a rename fails; then neither set is left.
int install_files(const char *out, int files)
{
    static char finals[SET_FILES_MAX][PATH_BUFFER_SIZE + 8];
    const char *const final_list[SET_FILES_MAX] = {finals[0], finals[1], finals[2]};
    for (int i = 0; i < SET_FILES_MAX; i++)
        set_file_path(finals[i], sizeof finals[i], out, i);
    if (hand_over_set(final_list, files) < 0)
        return 1;
    complain_set_fault();
    remove_set(final_list, files);
    remove_working_set();
    return 0;
}

} // namespace

int open_lookup(const char *path)
{
    lookup_handle = platform_open_read(path);
    if (lookup_handle == PLATFORM_FILE_INVALID) {
        message_box(OWNER_NONE, MSG_CANT_OPEN_LOOKUP, MSG_CAPTION_ERROR,
                    MSGBOX_ICON_EXCLAMATION | MSGBOX_OK);
        complain("cannot read %s", path);
        return 0;
    }
    // A file the conversion refuses unread is not read here either.
    if (platform_file_size(lookup_handle) > LOOKUP_SIZE_LIMIT) {
        lookup_records = 0;
        return 1;
    }
    // The records to come, for the progress: one per CR, and one for characters after the
    // last CR; LF bytes belong to no line.
    unsigned char buffer[4096];
    long records = 0;
    int pending = 0;
    int got;
    while ((got = platform_read(lookup_handle, buffer, static_cast<int>(sizeof buffer))) > 0) {
        for (int i = 0; i < got; i++) {
            if (buffer[i] == '\r') {
                records++;
                pending = 0;
            } else if (buffer[i] != '\n') {
                pending = 1;
            }
        }
    }
    platform_rewind(lookup_handle);
    lookup_records = records + pending;
    progress_expect_records(lookup_records);
    return 1;
}

void explain_stopped_conversion()
{
    switch (last_convert_failure()) {
    case CONVERT_NOT_CREATED:
        complain("the record file could not be created in the working files' folder");
        break;
    case CONVERT_TOO_LARGE:
        complain("the lookup file is larger than a file set can hold (%llu bytes at most)",
                 static_cast<unsigned long long>(LOOKUP_SIZE_LIMIT));
        break;
    case CONVERT_READ_FAILED:
        complain("the lookup file could not be read to its end");
        break;
    case CONVERT_NOT_APPENDED:
        complain("the conversion stopped after %d of the %ld records of the lookup file (an "
                 "index is full, or the disk)",
                 last_convert_records(), lookup_records);
        break;
    default:
        break;
    }
}

void close_lookup()
{
    platform_close(lookup_handle);
    lookup_handle = PLATFORM_FILE_INVALID;
}

namespace {

// The conversion into the working set and its hand-over to BASE, with the folder held.
int convert_held(const convert_request &request)
{
    if (!open_lookup(request.lookup))
        return CLI_UNREADABLE;
    settings.line_length = static_cast<unsigned char>(request.line_length);
    settings.key1_offset = request.key1[0];
    settings.key1_length = request.key1[1];
    settings.key2_offset = request.key2[0];
    settings.key2_length = request.key2[1];
    show_progress(PROGRESS_OPEN, 0);
    const int converted = convert_into_working_set();
    close_lookup();

    if (converted != 1 || interrupt_status() != 0) {
        if (interrupt_status() != 0) {
            remove_working_set();
            complain("interrupted: the working files are removed");
            return interrupt_status();
        }
        message_box(OWNER_ACTIVE, MSG_CONVERSION_FAILED, MSG_CAPTION_ERROR,
                    MSGBOX_ICON_EXCLAMATION | MSGBOX_OK);
        explain_stopped_conversion();
        remove_working_set();
        return CLI_CONVERSION;
    }
    return install_files(request.out, set_file_count()) ? CLI_OK : CLI_CONVERSION;
}

} // namespace

int run_convert(int count, char **args)
{
    convert_request request;
    int parsed = parse_request(count, args, &request);
    if (parsed <= 0)
        return parsed == 0 ? CLI_OK : CLI_USAGE;
    if (!set_work_base(request.out))
        return CLI_USAGE;
    int status = hold_folder();
    if (status != CLI_OK)
        return status;
    catch_interrupts();
    status = convert_held(request);
    release_folder();
    return status;
}
