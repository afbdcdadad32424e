// The walk over the storage root's candidates, in search order: JEXLEY_HOME alone when set, else
// the program's directory, each element of PATH, the directory of the program's link target, and
// the data directory; and the walk written out for a failed start.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "foundation/utility.hpp"
#include "storage/fso.hpp"
#include "storage/fso_dirs.hpp"

namespace {

// Index of the last "/" among s[0 .. len-1], -1 when there is none.
int32_t last_slash(const char* s, size_t len)
{
    if (len == 0 || len > INT32_MAX)
        return -1;
    return jx_find_n_char_r(s, '/', 1, 0, static_cast<int32_t>(len - 1));
}

// s[0 .. len-1] made absolute against the working directory into out ("" is the top directory).
// A long directory is refused rather than truncated.
uint8_t absolute_dir(const char* s, size_t len, char* out)
{
    if (s[0] == '/')
        return fso_join_path(out, s, len, nullptr, nullptr) ? FSO_CAND_OK : FSO_CAND_TOO_LONG;
    // "./jexley" names the working directory itself: no "/." in every path shown after it.
    while (len >= 2 && s[0] == '.' && s[1] == '/') {
        for (s += 2, len -= 2; len > 0 && s[0] == '/'; ++s, --len) {
        }
    }
    if (len == 1 && s[0] == '.')
        len = 0;
    char cwd[4097];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return FSO_CAND_TOO_LONG;
    size_t clen = strlen(cwd);
    if (len == 0)
        return fso_join_path(out, cwd, clen, nullptr, nullptr) ? FSO_CAND_OK : FSO_CAND_TOO_LONG;
    if (clen > JX_FSO_PATH_MAX || len >= JX_FSO_PATH_MAX - clen)
        return FSO_CAND_TOO_LONG;
    memcpy(out, cwd, clen);
    out[clen] = '/';
    memcpy(out + clen + 1, s, len);
    out[clen + 1 + len] = '\0';
    return FSO_CAND_OK;
}

// Candidate 1: the directory of the invocation path, made absolute. The cut at the last "/" is
// done before the length check, so a long file name does not make an otherwise fitting directory
// fail; a bare name leaves the working directory.
uint8_t exec_dir(const char* argv0, char* out)
{
    const int32_t cut = last_slash(argv0, strlen(argv0));
    return absolute_dir(argv0, cut < 0 ? 0 : static_cast<size_t>(cut), out);
}

// A directory named by the environment, made absolute, without trailing "/", and sub under it.
uint8_t env_dir(const char* value, const char* sub, char* out)
{
    size_t len = strlen(value);
    while (len > 0 && value[len - 1] == '/')
        --len;
    const uint8_t st = absolute_dir(value, len, out);
    if (st != FSO_CAND_OK || sub == nullptr)
        return st;
    char dir[JX_FSO_PATH_SIZE];
    memcpy(dir, out, sizeof dir);
    return fso_join_path(out, dir, strlen(dir), "/", sub) ? FSO_CAND_OK : FSO_CAND_TOO_LONG;
}

// The data directory's root: $XDG_DATA_HOME/jexley, or ~/.local/share/jexley when XDG_DATA_HOME is
// unset or not absolute (such a value is to be ignored).
uint8_t data_dir(char* out)
{
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return env_dir(xdg, "jexley", out);
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return env_dir(home, ".local/share/jexley", out);
    return FSO_CAND_NO_HOME;
}

// Candidate 3: the directory part of the link target, taken as written (a relative target is
// relative to the working directory). false when argv0 (looked up on PATH when it is a bare name,
// so that a link on PATH works from any directory) is not a symbolic link.
// A program started by bare name was found by the shell on PATH; the link it ran is the first
// executable of that name there (an empty element means the working directory).
bool find_on_path(const char* name, char* out)
{
    const char* path = getenv("PATH");
    if (path == nullptr)
        return false;
    for (const char* e = path;; ++e) {
        const char* end = strchr(e, ':');
        size_t elen = end ? static_cast<size_t>(end - e) : strlen(e);
        bool ok = elen == 0 ? fso_join_path(out, name, strlen(name), nullptr, nullptr)
                            : fso_join_path(out, e, elen, "/", name);
        if (ok && access(out, X_OK) == 0)
            return true;
        if (end == nullptr)
            return false;
        e = end;
    }
}

bool link_dir(const char* argv0, char* out, uint8_t* status)
{
    char found[JX_FSO_PATH_SIZE];
    if (strchr(argv0, '/') == nullptr && find_on_path(argv0, found))
        argv0 = found;
    char target[JX_FSO_PATH_SIZE + 1];
    ssize_t len = readlink(argv0, target, sizeof target);
    if (len < 0)
        return false;
    if (static_cast<size_t>(len) > JX_FSO_PATH_SIZE) {
        *status = FSO_CAND_TOO_LONG;  // readlink may have cut it
        return true;
    }
    target[len] = '\0';
    int32_t cut = last_slash(target, static_cast<size_t>(len));
    if (cut < 0) {
        *status = FSO_CAND_NO_DIR;
        return true;
    }
    *status = fso_join_path(out, target, static_cast<size_t>(cut), nullptr, nullptr) ? FSO_CAND_OK
                                                                                     : FSO_CAND_TOO_LONG;
    return true;
}

int call(jx_fso_candidate_fn fn, void* arg, const char* dir, uint8_t from, uint8_t status)
{
    return fn(status == FSO_CAND_OK ? dir : nullptr, from, status, arg);
}

struct DescribeOut {
    char* out;
    size_t n;
    size_t len;  // length of the whole text, also past n
};

// Paths come from the environment and the file system; as_path keeps their escapes off the terminal.
void put(DescribeOut* d, const char* s, bool as_path = false)
{
    char clean[JX_FSO_PATH_SIZE];
    if (as_path) {
        jx_str_sanitize(s, JX_FSO_PATH_MAX, clean, sizeof clean);
        s = clean;
    }
    for (; *s; ++s, ++d->len) {
        if (d->len + 1 >= d->n)
            continue;
        d->out[d->len] = *s;
        d->out[d->len + 1] = '\0';
    }
}

int describe_candidate(const char* dir, uint8_t from, uint8_t status, void* arg)
{
    auto* d = static_cast<DescribeOut*>(arg);
    put(d, "  ");
    if (status == FSO_CAND_OK) {
        put(d, dir, true);
        size_t dl = strlen(dir);
        put(d, (dl > 0 && dir[dl - 1] == '/') ? "" : "/");
        put(d, FSO_INTERNAL_DIR);
        put(d, fso_made_on_first_use(from) ? " (made when missing)" : "");
    } else if (status == FSO_CAND_NO_HOME) {
        put(d, "(no XDG_DATA_HOME or HOME to make a root in)");
    } else {
        const char* what = from == FSO_FROM_EXEC   ? "program directory"
                           : from == FSO_FROM_PATH ? "PATH element"
                           : from == FSO_FROM_HOME ? "JEXLEY_HOME"
                           : from == FSO_FROM_DATA ? "data directory"
                                                   : "link target";
        put(d, "(");
        put(d, what);
        put(d, status == FSO_CAND_NO_DIR ? " has no directory part)" : " longer than 1024 characters)");
    }
    put(d, "\n");
    return 0;
}

}  // namespace

uint8_t jx_fso_walk_roots(const char* argv0, jx_fso_candidate_fn fn, void* arg)
{
    if (argv0 == nullptr)
        argv0 = "";
    char dir[JX_FSO_PATH_SIZE];

    // The user named the root: nothing else is looked at.
    if (const char* home = jx_fso_home_env(); home != nullptr)
        return call(fn, arg, dir, FSO_FROM_HOME, env_dir(home, nullptr, dir)) ? 0 : 1;

    uint8_t st = exec_dir(argv0, dir);
    if (call(fn, arg, dir, FSO_FROM_EXEC, st))
        return 0;

    // Each element exactly as written; an empty one is the top directory.
    if (const char* path = getenv("PATH"); path != nullptr) {
        int32_t start = 0;
        size_t plen = strlen(path);
        for (;;) {
            int32_t colon = jx_find_n_char(path, ':', 1, start);
            size_t end = colon < 0 ? plen : static_cast<size_t>(colon);
            size_t elen = end - static_cast<size_t>(start);
            st = fso_join_path(dir, path + start, elen, nullptr, nullptr) ? FSO_CAND_OK : FSO_CAND_TOO_LONG;
            if (call(fn, arg, dir, FSO_FROM_PATH, st))
                return 0;
            if (colon < 0 || end + 1 > INT32_MAX)
                break;
            start = colon + 1;
        }
    }

    if (link_dir(argv0, dir, &st) && call(fn, arg, dir, FSO_FROM_LINK, st))
        return 0;
    return call(fn, arg, dir, FSO_FROM_DATA, data_dir(dir)) ? 0 : 1;
}

const char* jx_fso_home_env()
{
    const char* home = getenv("JEXLEY_HOME");
    return home != nullptr && home[0] != '\0' ? home : nullptr;
}

size_t jx_fso_describe_search(const char* argv0, char* out, size_t n)
{
    DescribeOut d{out, n, 0};
    if (out != nullptr && n > 0)
        out[0] = '\0';
    else
        d.n = 0;
    (void)jx_fso_walk_roots(argv0, describe_candidate, &d);
    return d.len;
}
