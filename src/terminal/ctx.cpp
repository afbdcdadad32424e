#include "terminal/ctx.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>


static TermData ctx;

int ctx_init()
{
    memset(&ctx, 0, sizeof ctx);
    ctx.prompt_redraw = 1;
    return 0;
}

int ctx_close()
{
    memset(&ctx, 0, sizeof ctx);
    return 0;
}

TermData* ctx_get()
{
    return &ctx;
}
int32_t ctx_get_term_w()
{
    return ctx.term_w;
}
int32_t ctx_get_term_h()
{
    return ctx.term_h;
}

void ctx_reset_scroll()
{
    ctx.scroll_req = 0;
    ctx.list_offset = 0;
    ctx.shown_count = 0;
}

void ctx_err_feedback(const char* fmt, ...)
{
    memset(ctx.err_feedback, 0, sizeof ctx.err_feedback);
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(ctx.err_feedback, sizeof ctx.err_feedback, fmt, ap);
    va_end(ap);
}
