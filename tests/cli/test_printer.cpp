// Output records on the streams: cleaned for a terminal only, the progress bar only on one, and
// cleared before any other line; typed lines and what a typed answer means.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/printer.hpp"

namespace {

std::string text_of(std::FILE* f)
{
    std::string s(4096, '\0');
    std::rewind(f);
    s.resize(std::fread(s.data(), 1, s.size(), f));
    std::fclose(f);
    return s;
}

}  // namespace

TEST(Printer, TerminalsGetCleanLinesAndTheBarFilesGetBytes)
{
    for (const bool tty : {false, true}) {
        CliPrinter p{std::tmpfile(), std::tmpfile(), tty, tty, false, false};
        cli_print(&p, CtlRecord{CTL_PROGRESS, "", {"big.iso", 500000, 1000000, 2.0, 3}, 0});
        cli_print(&p, CtlRecord{CTL_OUT, "received \x1b[2Jx", {}, 0});
        cli_print(&p, CtlRecord{CTL_ASK, "Accept \x07?", {}, 0});
        cli_print(&p, CtlRecord{CTL_EXIT, "", {}, 1});
        const std::string out = text_of(p.out), err = text_of(p.err);
        if (tty) {
            EXPECT_EQ(out, "received ?[2Jx\n");
            EXPECT_EQ(err,
                      "\rbig.iso  50%[##########..........] 500.00KB/1000.00KB 2.000mb/s ETA 3 seconds\033[K"
                      "\r\033[KAccept ?? [y/N] ");
        } else {
            EXPECT_EQ(out, "received \x1b[2Jx\n");
            EXPECT_EQ(err, "Accept \x07? [y/N] ");
        }
    }
    for (const auto& [typed, yes] :
         {std::pair{"y", true}, {" YES \r", true}, {"", false}, {"yess", false}, {"n", false}})
        EXPECT_EQ(cli_yes(typed), yes) << typed;
}

TEST(Printer, TypedLinesEndAtTheInputsEndOrAnError)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    std::string pending, line;
    EXPECT_FALSE(cli_typed_line(fds[0], &pending, &line)) << "nothing typed yet";
    ASSERT_EQ(write(fds[1], "y\nno", 4), 4);
    EXPECT_TRUE(cli_typed_line(fds[0], &pending, &line) && line == "y");
    EXPECT_FALSE(cli_typed_line(fds[0], &pending, &line)) << "'no' is still being typed";
    close(fds[1]);
    EXPECT_TRUE(cli_typed_line(fds[0], &pending, &line) && line == "no");
    EXPECT_TRUE(cli_typed_line(fds[0], &pending, &line) && line.empty()) << "at the end: no, at once";
    close(fds[0]);
    // A descriptor that cannot be read ends the input rather than leaving the question open.
    pending = "yes";
    EXPECT_TRUE(cli_typed_line(fds[0], &pending, &line) && line == "yes");
}
