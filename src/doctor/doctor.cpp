#include "doctor/doctor.hpp"

#include <cstring>

#include "doctor/checks.hpp"
#include "foundation/ipv4.hpp"
#include "foundation/utility.hpp"

void doctor_finding(DoctorReport* r, const char* tag, const std::string& what, const std::string& hint)
{
    if (strcmp(tag, "FAIL") == 0)
        r->failed = true;
    fprintf(r->out, "  [%-4s] %s\n", tag, what.c_str());
    if (!hint.empty())
        fprintf(r->out, "         hint: %s\n", hint.c_str());
}

std::string doctor_clean(const char* s, size_t max)
{
    std::string out(max + 1, '\0');
    out.resize(jx_str_sanitize(s, max, out.data(), out.size()));
    return out;
}

std::string doctor_why_text(const JXSafeWhy& why)
{
    char text[128];
    jx_safe_why_str(&why, text, sizeof text);
    return why.what == JX_SAFE_ERRNO ? std::string("cannot be used (") + text + ")" : text;
}

std::string doctor_ip(uint32_t addr)
{
    return jx_ip_str(addr).s;
}

int doctor_run(const char* argv0, FILE* out)
{
    DoctorReport r{out};
    fprintf(out, "Jexley doctor: why can't I see my colleague?\n");
    JXNetif ifs[JX_NETIF_MAX];
    const size_t n = jx_netif_list(ifs, JX_NETIF_MAX);
    doctor_check_interfaces(&r, ifs, n);
    doctor_check_routes(&r, ifs, n);
    doctor_check_ports(&r);
    doctor_check_storage(&r, argv0);
    doctor_check_firewall(&r);
    doctor_listen(&r, DOCTOR_LISTEN_S);
    fprintf(out, r.failed ? "Some checks failed: see the hints above.\n" : "No fault found.\n");
    return r.failed ? 1 : 0;
}
