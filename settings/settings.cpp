// The settings record, the derived paths and the reader and writer of "tabsync.ini".
// Owns: settings, settings_path, temp_base, db0_path..db2_path, lookup_path, app_instance,
// lookup_handle.
#include "settings.h"

#include "message_box.h"
#include "messages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

settings_record settings;
char settings_path[PATH_BUFFER_SIZE];
char temp_base[PATH_BUFFER_SIZE];
char db0_path[PATH_BUFFER_SIZE];
char db1_path[PATH_BUFFER_SIZE];
char db2_path[PATH_BUFFER_SIZE];
char lookup_path[PATH_BUFFER_SIZE];
void *app_instance;
platform_file lookup_handle = PLATFORM_FILE_INVALID;
char settings_fault[96];

namespace {

const char SETTINGS_NAME[] = "tabsync.ini";

// The whole settings file is read into this one text; a longer file is read only this far.
char settings_text[1024];

void set_defaults()
{
    settings.folder[0] = '\0';
    settings.lookup_name[0] = '\0';
    settings.line_length = 0;
    settings.key1_offset = 1;
    settings.key1_length = 1;
    settings.key2_offset = 0;
    settings.key2_length = 0;
    settings.com_index = 0;
    settings.baud_index = 1;
    settings.show_dialog = 1;
    settings.send_mode = 1;
}

void clear_paths()
{
    settings_path[0] = temp_base[0] = db0_path[0] = db1_path[0] = db2_path[0] = '\0';
}

// folder_length bytes of program_path followed by name; the caller has checked the length.
void build_path(char *path, const char *program_path, std::size_t folder_length, const char *name)
{
    std::memcpy(path, program_path, folder_length);
    std::strcpy(path + folder_length, name);
}

// Reads a decimal number at text the way atoi does, but within its own line: blanks and tabs
// are skipped, not the CR LF that ends an empty line (that would take the next line's number).
// Digits beyond 32 bits wrap instead of overflowing.
int read_number(const char *text)
{
    while (*text == ' ' || *text == '\t')
        text++;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    std::uint32_t value = 0;
    while (*text >= '0' && *text <= '9')
        value = value * 10u + static_cast<std::uint32_t>(*text++ - '0');
    if (negative)
        value = 0u - value;
    return static_cast<int>(value);
}

// Copies length bytes into a text field; the settings text is never longer than a field.
void copy_text(char *field, const char *text, std::size_t length)
{
    std::memcpy(field, text, length);
    field[length] = '\0';
}

void parse_settings_text(const char *text, std::size_t length)
{
    std::size_t start = 0;
    for (int line = 1; line <= 7; line++) {
        const char *cr = static_cast<const char *>(std::memchr(text + start, '\r', length - start));
        bool ended = cr && static_cast<std::size_t>(cr - text) + 1 < length && cr[1] == '\n';
        std::size_t end = ended ? static_cast<std::size_t>(cr - text) : length;
        const char *at = text + start;
        switch (line) {
        case 1: copy_text(settings.folder, at, end - start); break;
        case 2: copy_text(settings.lookup_name, at, end - start); break;
        case 3: settings.line_length = static_cast<unsigned char>(read_number(at)); break;
        case 4: settings.key1_offset = read_number(at); break;
        case 5: settings.key1_length = read_number(at); break;
        case 6: settings.key2_offset = read_number(at); break;
        case 7: settings.key2_length = read_number(at); break;
        }
        if (!ended)
            return;
        start = end + 2;
    }
    // Lines 8 to 10 are one character each, taken by position behind line 7's CR LF.
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    if (start < length)
        settings.com_index = bytes[start] - '1';
    if (start + 3 < length)
        settings.baud_index = bytes[start + 3] - '1';
    if (start + 6 < length)
        settings.show_dialog = bytes[start + 6] - '0';
}

void write_text(platform_file file, const char *text)
{
    platform_write(file, text, static_cast<int>(std::strlen(text)));
    platform_write(file, "\r\n", 2);
}

// The number in decimal with a leading minus sign when negative, as itoa writes it.
void write_number(platform_file file, int value)
{
    char digits[16];
    char *p = digits + sizeof digits;
    *--p = '\0';
    std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value)
                                        : static_cast<std::uint32_t>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10u);
        magnitude /= 10u;
    } while (magnitude != 0);
    if (value < 0)
        *--p = '-';
    write_text(file, p);
}

// The low byte of base plus value, then CR LF.
void write_character(platform_file file, char base, int value)
{
    char line[2] = {static_cast<char>(static_cast<unsigned char>(base + value)), '\0'};
    write_text(file, line);
}

// 1 when text is a decimal number, with a leading minus sign where negative is allowed.
int is_decimal(const char *text, std::size_t length, int negative_allowed)
{
    std::size_t at = negative_allowed && length > 0 && text[0] == '-' ? 1 : 0;
    if (at == length)
        return 0;
    for (; at < length; at++) {
        if (text[at] < '0' || text[at] > '9')
            return 0;
    }
    return 1;
}

// Whether one line's text fits its place (1 to 10) in a settings file as save_settings writes
// it.
int line_fits(int line, const char *text, std::size_t length)
{
    if (line <= 2)
        return 1;
    if (line == 3)
        return is_decimal(text, length, 0) && length <= 3 && std::atoi(text) <= 255;
    if (line <= 7)
        return is_decimal(text, length, 1) && length <= 11;
    if (line <= 9)
        return length == 1;
    return length == 1 && (text[0] == '0' || text[0] == '1');
}

// 1 when the text has the shape save_settings writes; otherwise 0 with settings_fault naming
// the first line that does not fit.
int has_settings_shape(const char *text, std::size_t length)
{
    std::size_t start = 0;
    for (int line = 1; line <= 10; line++) {
        const char *cr = static_cast<const char *>(std::memchr(text + start, '\r', length - start));
        if (!cr || static_cast<std::size_t>(cr - text) + 1 >= length || cr[1] != '\n') {
            std::snprintf(settings_fault, sizeof settings_fault,
                          "line %d does not end in CR LF", line);
            return 0;
        }
        const std::size_t end = static_cast<std::size_t>(cr - text);
        if (!line_fits(line, text + start, end - start)) {
            std::snprintf(settings_fault, sizeof settings_fault,
                          "line %d does not fit its place", line);
            return 0;
        }
        start = end + 2;
    }
    if (start == length)
        return 1;
    std::snprintf(settings_fault, sizeof settings_fault, "more than ten lines");
    return 0;
}

int load_settings_beside(const char *program_path, const char *settings_file,
                         settings_strictness strictness);

} // namespace

int second_key_configured()
{
    return settings.key2_offset > 0 && settings.key2_length > 0;
}

int load_settings()
{
    char program_path[PATH_BUFFER_SIZE];
    if (platform_program_path(program_path, sizeof program_path) == 0) {
        set_defaults();
        clear_paths();
        message_box(OWNER_NONE, MSG_FOLDER_TOO_LONG, MSG_CAPTION_ERROR,
                    MSGBOX_OK | MSGBOX_ICON_EXCLAMATION);
        return 0;
    }
    return load_settings_for(program_path);
}

int load_settings_for(const char *program_path)
{
    return load_settings_beside(program_path, nullptr, SETTINGS_LENIENT);
}

int load_settings_file(const char *settings_file, settings_strictness strictness)
{
    return load_settings_beside(settings_file, settings_file, strictness);
}

int set_temp_base(const char *path)
{
    std::size_t folder_length = 0;
    for (std::size_t i = 0; path[i] != '\0'; i++) {
        if (path[i] == '\\' || path[i] == '/')
            folder_length = i + 1;
    }
    if (folder_length + sizeof WORK_SET_NAME > PATH_BUFFER_SIZE)
        return 0;
    build_path(temp_base, path, folder_length, WORK_SET_NAME);
    return 1;
}

namespace {

// The paths derive from the folder of program_path (up to its last separator); the settings
// are read from settings_file, or from that folder's "tabsync.ini" when it is null.
int load_settings_beside(const char *program_path, const char *settings_file,
                         settings_strictness strictness)
{
    set_defaults();
    clear_paths();

    // The program folder keeps its trailing separator so that every path is a concatenation.
    std::size_t folder_length = 0;
    for (std::size_t i = 0; program_path[i] != '\0'; i++) {
        if (program_path[i] == '\\' || program_path[i] == '/')
            folder_length = i + 1;
    }
    if (folder_length + sizeof SETTINGS_NAME > PATH_BUFFER_SIZE ||
        (settings_file && std::strlen(settings_file) >= PATH_BUFFER_SIZE)) {
        message_box(OWNER_NONE, MSG_FOLDER_TOO_LONG, MSG_CAPTION_ERROR,
                    MSGBOX_OK | MSGBOX_ICON_EXCLAMATION);
        return SETTINGS_NO_PATHS;
    }
    if (settings_file)
        std::strcpy(settings_path, settings_file);
    else
        build_path(settings_path, program_path, folder_length, SETTINGS_NAME);
    build_path(temp_base, program_path, folder_length, WORK_SET_NAME);
    build_path(db0_path, program_path, folder_length, "DBF1.db0");
    build_path(db1_path, program_path, folder_length, "DBF1.db1");
    build_path(db2_path, program_path, folder_length, "DBF1.db2");
    build_path(settings.folder, program_path, folder_length, "");

    platform_file file = platform_open_read(settings_path);
    if (file == PLATFORM_FILE_INVALID) {
        settings.show_dialog = 1;
        return strictness == SETTINGS_STRICT ? SETTINGS_UNREADABLE : SETTINGS_LOADED;
    }
    // Read up to the buffer's size; a longer file is taken only as far as it fits, or refused
    // by a strict read.
    int length = 0;
    while (length < static_cast<int>(sizeof settings_text) - 1) {
        int got = platform_read(file, settings_text + length,
                                static_cast<int>(sizeof settings_text) - 1 - length);
        if (got <= 0)
            break;
        length += got;
    }
    settings_text[length] = '\0';
    char beyond;
    const int longer = strictness == SETTINGS_STRICT &&
                       length == static_cast<int>(sizeof settings_text) - 1 &&
                       platform_read(file, &beyond, 1) > 0;
    platform_close(file);

    if (strictness == SETTINGS_STRICT) {
        if (longer)
            std::snprintf(settings_fault, sizeof settings_fault, "longer than %d bytes",
                          static_cast<int>(sizeof settings_text) - 1);
        if (longer || !has_settings_shape(settings_text, static_cast<std::size_t>(length)))
            return SETTINGS_MALFORMED;
    }
    parse_settings_text(settings_text, static_cast<std::size_t>(length));
    return SETTINGS_LOADED;
}

} // namespace

void save_settings()
{
    platform_file file = platform_create_write(settings_path);
    if (file == PLATFORM_FILE_INVALID)
        return;
    write_text(file, settings.folder);
    write_text(file, settings.lookup_name);
    write_number(file, settings.line_length);
    write_number(file, settings.key1_offset);
    write_number(file, settings.key1_length);
    write_number(file, settings.key2_offset);
    write_number(file, settings.key2_length);
    write_character(file, '1', settings.com_index);
    write_character(file, '1', settings.baud_index);
    write_character(file, '0', settings.show_dialog);
    platform_close(file);
}

void compose_lookup_path()
{
    std::size_t folder_length = std::strlen(settings.folder);
    std::size_t name_length = std::strlen(settings.lookup_name);
    // A folder written with slashes alone (a Linux folder, in a settings file of the console
    // program) is joined with a slash; every other with a backslash. A folder that ends in
    // either already has its separator.
    const char last = folder_length > 0 ? settings.folder[folder_length - 1] : '\\';
    std::size_t separator = last != '\\' && last != '/';
    const char separator_char =
        std::strchr(settings.folder, '/') && !std::strchr(settings.folder, '\\') ? '/' : '\\';
    // A path cut at the buffer could name some other file: one that does not fit is left
    // empty, so that opening it fails and the user is told.
    if (folder_length + separator + name_length >= PATH_BUFFER_SIZE) {
        lookup_path[0] = '\0';
        return;
    }
    std::memcpy(lookup_path, settings.folder, folder_length);
    if (separator)
        lookup_path[folder_length] = separator_char;
    std::memcpy(lookup_path + folder_length + separator, settings.lookup_name, name_length + 1);
}
