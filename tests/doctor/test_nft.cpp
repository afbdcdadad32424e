// The doctor's reading of a firewall: which rules of an `nft list ruleset` text stop UDP 8855 or
// 8856 on this host, over a table of rule sets. (The e2e test runs the whole doctor on real hosts.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "doctor/doctor.hpp"

using Strs = std::vector<std::string>;

namespace {

// A table with one input chain holding the given lines.
std::string input_chain(const std::string& lines, const std::string& policy = "accept")
{
    return "table inet f {\n chain in {\n  type filter hook input priority 0; policy " + policy + ";\n" +
           lines + " }\n}\n";
}

}  // namespace

TEST(DoctorNft, RuleSetsThatStopOurPortsAndThoseThatDoNot)
{
    const std::string in = "table inet f, chain in (input): ";
    const struct {
        const char* what;
        std::string ruleset;
        Strs found;
    } rows[] = {
        {"nothing at all", "", {}},
        {"a drop of another port", input_chain("  udp dport 53 drop\n"), {}},
        {"our port by number", input_chain("  udp dport 8855 drop\n"), {in + "udp dport 8855 drop"}},
        {"a range over 8856",
         input_chain("  udp dport 8856-8860 reject\n"),
         {in + "udp dport 8856-8860 reject"}},
        {"!= another port", input_chain("  udp dport != 53 drop\n"), {in + "udp dport != 53 drop"}},
        {"!= both of ours", input_chain("  udp dport != { 8855, 8856 } drop\n"), {}},
        {"an anonymous set",
         input_chain("  udp dport { 22, 8856 } drop\n"),
         {in + "udp dport { 22, 8856 } drop"}},
        {"all of UDP", input_chain("  meta l4proto udp drop\n"), {in + "meta l4proto udp drop"}},
        {"TCP only", input_chain("  tcp dport 8855 drop\n"), {}},
        {"drop in a comment", input_chain("  udp dport 8855 counter comment \"a drop here\"\n"), {}},
        {"a named set with ours",
         "table ip t {\n set ports {\n  type inet_service\n  elements = { 8855, 9000 }\n }\n chain in {\n"
         "  type filter hook input priority 0;\n  udp dport @ports drop\n }\n}\n",
         {"table ip t, chain in (input): udp dport @ports drop"}},
        {"a named set without ours",
         "table ip t {\n set ports {\n  type inet_service\n  elements = { 22, 80 }\n }\n chain in {\n"
         "  type filter hook input priority 0;\n  udp dport @ports drop\n }\n}\n",
         {}},
        {"the forward hook",
         "table ip t {\n chain f {\n  type filter hook forward priority 0;\n  udp dport 8855 drop\n }\n}\n",
         {}},
        {"policy drop accepting both", input_chain("  udp dport { 8855, 8856 } accept\n", "drop"), {}},
        {"policy drop accepting 8855",
         input_chain("  udp dport 8855 accept\n", "drop"),
         {in + "policy drop, and no rule accepts UDP 8856"}},
        {"policy drop accepting nothing",
         input_chain("", "drop"),
         {in + "policy drop, and no rule accepts UDP 8855"}},
        {"a regular chain's rule",
         "table ip t {\n chain mine {\n  udp dport 8855 drop\n }\n}\n",
         {"table ip t, chain mine (regular chain): udp dport 8855 drop"}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(doctor_nft_drops(row.ruleset), row.found) << row.what;
}

// What the doctor shows of a rule is made harmless: a rule text from the system is not ours.
TEST(DoctorNft, ARuleIsShownWithoutItsControlCharacters)
{
    EXPECT_EQ(doctor_nft_drops(input_chain("  udp dport 8855 drop \x1b[2J\n")),
              Strs{"table inet f, chain in (input): udp dport 8855 drop ?[2J"});
}
