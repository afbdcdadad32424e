#include "foundation/ipv4.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

JXIpStr jx_ip_str(uint32_t addr)
{
    JXIpStr out{};
    in_addr a{};
    a.s_addr = addr;
    if (inet_ntop(AF_INET, &a, out.s, sizeof(out.s)) == nullptr)
        out.s[0] = '\0';
    return out;
}

uint8_t ipv4_check(const char* text)
{
    if (text == nullptr)
        return 1;
    int dots = 0;
    int digits = 0;      // digits in the current group
    unsigned value = 0;  // value of the current group
    bool leading_zero = false;
    for (const char* p = text;; p++) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            if (leading_zero)
                return 1;  // 01, 00
            if (digits == 0 && c == '0')
                leading_zero = true;
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (++digits > 3 || value > 255)
                return 1;
        } else if (c == '.' || c == '\0') {
            if (digits == 0)
                return 1;
            if (c == '\0')
                return dots == 3 ? 0 : 1;
            if (++dots > 3)
                return 1;
            digits = 0;
            value = 0;
            leading_zero = false;
        } else {
            return 1;
        }
    }
}

bool is_bcast_addr(uint32_t addr)
{
    return addr == INADDR_BROADCAST;
}

bool is_mcast_addr(uint32_t addr)
{
    return (ntohl(addr) & 0xF0000000U) == 0xE0000000U;
}
