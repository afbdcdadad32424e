// The storage root: which one a start would use (or make), whether another process holds it, and
// whether its directories can be written. Nothing is made here.
#include <cerrno>
#include <cstring>

#include "doctor/checks.hpp"
#include "storage/fso.hpp"

void doctor_check_storage(DoctorReport* r, const char* argv0)
{
    fprintf(r->out, "Storage root\n");
    // The doctor makes nothing: a root a start would make is reported as such.
    if (jx_fso_init(argv0, false) != 0) {
        char dir[JX_FSO_PATH_SIZE];
        JXSafeWhy why{};
        const bool unusable = jx_fso_unusable_root(argv0, dir, &why);
        if (!unusable && jx_fso_first_use_root(argv0, dir))
            doctor_finding(
                r, "info", "no storage root yet: Jexley makes " + doctor_clean(dir) + " when it starts",
                jx_fso_home_env() != nullptr
                    ? "JEXLEY_HOME names it"
                    : "JEXLEY_HOME names another; a jx_internal/ beside the program is used first");
        else if (!unusable)
            doctor_finding(
                r, "FAIL", "no storage root: no writable jx_internal/ beside the program or on PATH",
                "scripts/run.sh prepares one, or: mkdir -p -m 700 <dir>/jx_internal next to the program");
        else if (why.what == JX_SAFE_ERRNO)
            doctor_finding(r, "FAIL",
                           "storage root " + doctor_clean(dir) +
                               " found, but its jx_internal/ is not writable (" + strerror(why.err) + ")",
                           "make it writable for this user, or start Jexley from another root");
        else
            doctor_finding(
                r, "FAIL",
                "storage root " + doctor_clean(dir) + " found, but its jx_internal/ " + doctor_why_text(why),
                "Jexley uses only a directory of its own user (or root) that no one else can write");
        return;
    }
    const std::string root = doctor_clean(fso.root_path[0] != '\0' ? fso.root_path : "/");
    JXFsoHolder h{};
    if (jx_fso_lock_holder(&h))
        doctor_finding(r, "info",
                       root + " is in use by Jexley process " + std::to_string(h.pid) + " on host " +
                           doctor_clean(h.host, 255),
                       "one root serves one Jexley at a time; start a second one from another root");
    else
        doctor_finding(r, "ok", root + ", jx_internal/ writable", "");
    for (const char* sub : {"msg", "downloads"}) {
        const JXSafeWhy why = jx_fso_dir_state(sub);
        const std::string d = root + "/" + sub + "/";
        if (why.what == JX_SAFE_OK)
            doctor_finding(r, "ok", d + " writable", "");
        else if (why.what == JX_SAFE_ERRNO && why.err == ENOENT)
            doctor_finding(r, "info", d + " is missing", "Jexley makes it when it starts");
        else
            doctor_finding(r, "FAIL", d + " " + doctor_why_text(why),
                           "Jexley will not start until it can use it");
    }
    jx_fso_close();
}
