// The doctor's reading of a firewall: which rules of nft's own listing stop UDP 8855 or 8856.
#include <gtest/gtest.h>

#include "terminal/doctor.hpp"

// Numbers, ranges, inline and named sets, "!=", source ports, all-UDP rules and a dropping policy
// without an accept for both ports count; tcp, other ports, accepts and the forward hook do not.
TEST(Doctor, FirewallRulesThatStopOurPorts)
{
    const std::string ruleset = "table inet jx {\n\tset ours {\n\t\ttype inet_service\n"
                                "\t\telements = { 8855,\n\t\t\t     8856 }\n\t}\n"
                                "\tset other {\n\t\ttype inet_service\n\t\telements = { 53, 80 }\n\t}\n"
                                "\tchain in {\n\t\ttype filter hook input priority filter; policy drop;\n"
                                "\t\tudp dport 8856 drop\n"
                                "\t\tudp dport { 53, 9000-9100 } drop\n"
                                "\t\tudp dport != 53 drop\n"
                                "\t\tudp dport 8850-8860 counter packets 0 bytes 0 reject\n"
                                "\t\ttcp dport 8855 drop\n"
                                "\t\tudp dport @ours drop\n"
                                "\t\tudp dport @other drop\n"
                                "\t\tudp sport 8855 accept comment \"not a drop\"\n"
                                "\t\tip protocol udp drop\n"
                                "\t}\n"
                                "\tchain fwd {\n\t\ttype filter hook forward priority filter; policy drop;\n"
                                "\t\tudp dport 8855 drop\n\t}\n}\n"
                                "table ip t2 {\n\tchain out {\n"
                                "\t\ttype filter hook output priority filter; policy drop;\n"
                                "\t\tudp dport { 8855, 8856 } accept\n"
                                "\t\tudp dport 8855 drop comment \"x\"\n\t}\n}\n";
    const std::string in = "table inet jx, chain in (input): ", out = "table ip t2, chain out (output): ";
    const std::vector<std::string> want = {
        in + "udp dport 8856 drop",
        in + "udp dport != 53 drop",
        in + "udp dport 8850-8860 counter packets 0 bytes 0 reject",
        in + "udp dport @ours drop",
        in + "ip protocol udp drop",
        in + "policy drop, and no rule accepts UDP 8856",
        out + "udp dport 8855 drop comment \"x\"",
    };
    EXPECT_EQ(doctor_nft_drops(ruleset), want);
    EXPECT_TRUE(doctor_nft_drops("").empty());
}
