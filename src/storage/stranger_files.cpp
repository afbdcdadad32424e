#include "storage/stranger_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "foundation/log.hpp"
#include "foundation/safe_file.hpp"
#include "storage/fso.hpp"

namespace {

constexpr char LEDGER[] = "strangers";

struct Ledger {
    bool loaded = false;
    size_t count = 0;
    char names[JX_STRANGER_FILES_MAX][JX_CHANNEL_NAME_SIZE] = {};
    bool kept[JX_STRANGER_FILES_MAX] = {};  // holds a text or offer
};
Ledger ledger;

// Files given up to make room are deleted only two sweeps later: the terminal writes the notices
// already raised for a channel after the engine's turn, and would make the file anew, uncounted.
constexpr size_t DOOMED_MAX = 16;  // per turn; more evictions wait for the next one
struct Doomed {
    size_t n = 0;
    char names[DOOMED_MAX][JX_CHANNEL_NAME_SIZE] = {};
};
Doomed doomed[2];  // [0] since the last sweep, [1] before it

bool msg_file_exists(const char* name)
{
    struct stat st{};
    return fstatat(jx_fso_dir_fd(FSO_DIR_MSG), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

bool valid_name(const char* s, size_t n)
{
    if (n != 8 && n != 17)
        return false;
    for (size_t i = 0; i < n; i++) {
        const bool hex = (s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f');
        if (!(hex || (i == 8 && s[i] == '_')))
            return false;
    }
    return true;
}

// Names whose file is gone (removed by the user, or never written before a crash) are not kept.
void load()
{
    ledger = Ledger{};
    ledger.loaded = true;
    JXSafeWhy why{};
    const int fd = jx_safe_open_kept(jx_fso_dir_fd(FSO_DIR_INTERNAL), LEDGER, O_RDONLY, false, &why);
    if (fd < 0)
        return;
    char buf[JX_STRANGER_FILES_MAX * (JX_CHANNEL_NAME_SIZE + 5) + 1] = {};
    const ssize_t got = read(fd, buf, sizeof buf - 1);
    close(fd);
    for (char* line = buf; got > 0 && line < buf + got && ledger.count < JX_STRANGER_FILES_MAX;) {
        char* end = std::strchr(line, '\n');
        if (end == nullptr)
            break;
        *end = '\0';
        // "<name>" or "<name> kept".
        const bool kept = end - line > 5 && std::strcmp(end - 5, " kept") == 0;
        if (kept)
            *(end - 5) = '\0';
        if (valid_name(line, std::strlen(line)) && msg_file_exists(line)) {
            ledger.kept[ledger.count] = kept;
            std::memcpy(ledger.names[ledger.count++], line, std::strlen(line) + 1);
        }
        line = end + 1;
    }
}

// Written whole under a new name and renamed over the old, so a crash leaves one or the other.
void save()
{
    char buf[JX_STRANGER_FILES_MAX * (JX_CHANNEL_NAME_SIZE + 5) + 1];  // and snprintf's NUL
    size_t len = 0;
    for (size_t i = 0; i < ledger.count; i++)
        len += static_cast<size_t>(std::snprintf(buf + len, sizeof buf - len, "%s%s\n", ledger.names[i],
                                                 ledger.kept[i] ? " kept" : ""));
    JXSafeWhy why{};
    const int fd = jx_safe_replace(jx_fso_dir_fd(FSO_DIR_INTERNAL), LEDGER, buf, len, &why);
    if (fd < 0) {
        jx_log("Can't write the record of strangers' channel files");
        return;
    }
    close(fd);
}

size_t kept_count()
{
    size_t n = 0;
    for (size_t i = 0; i < ledger.count; i++)
        n += ledger.kept[i] ? 1 : 0;
    return n;
}

ssize_t find(const char* name)
{
    for (size_t i = 0; i < ledger.count; i++)
        if (std::strcmp(ledger.names[i], name) == 0)
            return static_cast<ssize_t>(i);
    return -1;
}

// Whether the file waits to be deleted, and with take, no longer.
bool doomed_file(const char* name, bool take)
{
    bool found = false;
    for (Doomed& d : doomed)
        for (size_t i = 0; i < d.n;) {
            const bool match = std::strcmp(d.names[i], name) == 0;
            found = found || match;
            if (match && take)
                std::memcpy(d.names[i], d.names[--d.n], JX_CHANNEL_NAME_SIZE);
            else
                i++;
        }
    return found;
}

// Unrecorded: the last entry takes its place.
void drop(size_t at)
{
    ledger.count--;
    std::memcpy(ledger.names[at], ledger.names[ledger.count], JX_CHANNEL_NAME_SIZE);
    ledger.kept[at] = ledger.kept[ledger.count];
}

}  // namespace

uint8_t jx_stranger_file_admit(const char* name, bool (*in_use)(const char* name), bool to_keep)
{
    if (!ledger.loaded)
        load();
    if (find(name) >= 0)
        return JX_SF_OK;
    // A file that gave way is still on disk until the sweep: it is no file of the user's, and is
    // recorded anew like any other (else it would stay, counted nowhere).
    const bool gave_way = doomed_file(name, false);
    if (!gave_way && msg_file_exists(name))
        return JX_SF_OK;
    if (!valid_name(name, std::strlen(name)))
        return JX_SF_FULL;
    if (to_keep && kept_count() >= JX_STRANGER_KEPT_MAX)
        return JX_SF_KEPT;
    if (ledger.count >= JX_STRANGER_FILES_MAX) {
        size_t at = 0;
        while (at < ledger.count && (ledger.kept[at] || (in_use != nullptr && in_use(ledger.names[at]))))
            at++;
        if (at == ledger.count || doomed[0].n == DOOMED_MAX)
            return JX_SF_FULL;
        std::memcpy(doomed[0].names[doomed[0].n++], ledger.names[at], JX_CHANNEL_NAME_SIZE);
        drop(static_cast<size_t>(at));
    }
    if (gave_way)
        (void)doomed_file(name, true);
    ledger.kept[ledger.count] = false;
    std::memcpy(ledger.names[ledger.count++], name, std::strlen(name) + 1);
    save();
    return JX_SF_OK;
}

bool jx_stranger_file_keep(const char* name)
{
    if (!ledger.loaded)
        load();
    const ssize_t at = find(name);
    if (at < 0 || ledger.kept[at])
        return true;
    if (kept_count() >= JX_STRANGER_KEPT_MAX)
        return false;
    ledger.kept[at] = true;
    save();
    return true;
}

void jx_stranger_file_adopt(const char* name)
{
    if (!ledger.loaded)
        load();
    (void)doomed_file(name, true);
    const ssize_t at = find(name);
    if (at < 0)
        return;
    drop(static_cast<size_t>(at));
    save();
}

size_t jx_stranger_file_count()
{
    if (!ledger.loaded)
        load();
    return ledger.count;
}

void jx_stranger_files_sweep(bool (*in_use)(const char* name))
{
    for (size_t i = 0; i < doomed[1].n; i++) {
        const char* name = doomed[1].names[i];
        // Taken up again in the meantime, by strangers or by the user: kept.
        if (find(name) < 0 && (in_use == nullptr || !in_use(name)))
            unlinkat(jx_fso_dir_fd(FSO_DIR_MSG), name, 0);
    }
    doomed[1] = doomed[0];
    doomed[0] = Doomed{};
}

void jx_stranger_files_flush(bool (*in_use)(const char* name))
{
    jx_stranger_files_sweep(in_use);
    jx_stranger_files_sweep(in_use);
}

void jx_stranger_files_reset()
{
    ledger = Ledger{};
    doomed[0] = doomed[1] = Doomed{};
}
