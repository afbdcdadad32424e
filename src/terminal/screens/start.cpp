// Home screen: banner, client details and the prompt for commands.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/comm.hpp"
#include "engine/registry.hpp"
#include "terminal/cmd.hpp"
#include "terminal/screens/screens.hpp"

#ifndef JX_BUILD_DATE
#define JX_BUILD_DATE __DATE__
#endif

static ScreenFrame frame = {start_render_complete, start_render_dy, start_render_complete};

// Each banner row is a bright white part and a bright red part, 48 columns together.
static constexpr int BANNER_W = 48;
static constexpr const char* banner_white[5] = {
    "   ##### ####### #     #", "     #   #        #   # ", "     #   #####      #   ",
    " #   #   #        #   # ", "  ###    ####### #     #",
};
static constexpr const char* banner_red[5] = {
    " #       ####### #     #", " #       #        #   # ", " #       #####      #   ",
    " #       #          #   ", " ####### #######    #   ",
};

void start_init(state_op* update, state_op* render)
{
    frame_init(&frame, update, render, start_update, start_render);
}

void start_update()
{
    TermData* t = ctx_get();
    switch (t->key) {
    case KEY_ESC:
        cmd_quit();
        break;
    case KEY_ENTER:
        cmd_eval_input();
        break;
    }
    // Typed text stays: the home screen takes commands.
    frame_update_tail(&frame, false);
}

void start_render()
{
    frame_render(&frame);
}

void start_render_dy()
{
    frame_render_dy();
}

void start_render_complete()
{
    frame_draw(&frame, JX_DOC_URL, start_display);
}

// One detail row: yellow label, magenta value, then the right-hand pair at column w / 2, its value
// right-aligned in r_width. Below 52 columns the pair keeps one blank from the left one and its
// value gives up a column for it, so the row still fits.
static void detail_row(const char* l_label, const std::string& l_value, const char* r_label,
                       const std::string& r_value, int r_width, int32_t w)
{
    io_puts(IO_YELLOW);
    io_puts(l_label);
    io_puts(IO_MAGENTA);
    io_puts(l_value.c_str());
    if (r_label != nullptr) {
        const int32_t pad = std::max(w / 2 - 25, 1);
        io_printf("%*s", pad, "");
        io_puts(IO_YELLOW);
        io_puts(r_label);
        io_puts(IO_MAGENTA);
        io_printf("%*s", r_width - (pad - std::max(w / 2 - 25, 0)), r_value.c_str());
    }
    io_puts(IO_RESET "\r\n");
}

static std::string sfmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
static std::string sfmt(const char* f, ...)
{
    char b[64];
    va_list ap;
    va_start(ap, f);
    vsnprintf(b, sizeof b, f, ap);
    va_end(ap);
    return b;
}

void start_display()
{
    const int32_t w = ctx_get_term_w();
    const int32_t h = ctx_get_term_h();
    int32_t lines;

    if (h < 15) {
        static const char* const white = "JEX";
        static const char* const red = "LEY";
        int32_t pad = (w - 6) / 2;
        io_printf("%*s", pad > 0 ? pad : 0, "");
        io_puts(IO_BWHITE);
        io_puts(white);
        io_puts(IO_BRED);
        io_puts(red);
        io_puts(IO_RESET "\r\n");
        lines = 6;
    } else {
        int32_t pad = (w - BANNER_W) / 2;
        for (int i = 0; i < 5; i++) {
            io_printf("%*s", pad > 0 ? pad : 0, "");
            io_puts(IO_BWHITE);
            io_puts(banner_white[i]);
            io_puts(IO_BRED);
            io_puts(banner_red[i]);
            io_puts(IO_RESET "\r\n");
        }
        lines = 12;
    }
    for (; lines < h - 3; lines++)
        io_puts("\r\n");
    if (h > 14) {
        io_puts("\r\n");
        io_top_bar_title("Client Details");
    }

    const JXComm* cc = jx_comm_get();
    long dls = 0, uls = 0, fin_dls = 0, fin_uls = 0;
    for (jx_list_elmt* e = jx_list_head(&cc->networks); e != nullptr; e = jx_list_next(e)) {
        const auto* net = static_cast<const JXNetwork*>(jx_list_data(e));
        dls += jx_list_size(&net->downloads);
        uls += jx_list_size(&net->uploads);
        fin_dls += jx_list_size(&net->fin_downloads);
        fin_uls += jx_list_size(&net->fin_uploads);
    }
    std::string user = io_safe(cc->username, sizeof cc->username);
    char size_txt[16];
    snprintf(size_txt, sizeof size_txt, "%dx%d", w, h);

    detail_row("Client version: ", sfmt("%9s", JX_VERSION), "Compiled on: ", JX_BUILD_DATE, 12, w);
    detail_row("Username: ", io_rjust(user, 15), "Joined networks: ", sfmt("%d", jx_list_size(&cc->networks)), 8,
               w);
    detail_row("Active dloads: ", sfmt("%10ld", dls), "Active uloads: ", sfmt("%ld", uls), 10, w);
    detail_row("Finished dloads: ", sfmt("%8ld", fin_dls), "Finished uloads: ", sfmt("%ld", fin_uls), 8, w);
    detail_row("Terminal size: ", sfmt("%10s", size_txt), nullptr, std::string(), 0, w);
}
