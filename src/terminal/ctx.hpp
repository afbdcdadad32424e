// ctx: the terminal context, one TermData record shared by every screen, and its accessors.
// Owns ctx; calls nothing (term fills in the window size). The open channel is borrowed from the
// engine's registry and never freed here.
#pragma once

#include <cstddef>
#include <cstdint>

struct JXChannel;

// The input reader stops appending at this many bytes (one text payload); the line is the longest
// the command evaluator is given.
inline constexpr size_t TERM_INPUT_MAX = 1370;
inline constexpr size_t TERM_INPUT_SIZE = TERM_INPUT_MAX + 1;
inline constexpr size_t TERM_ERR_SIZE = 101;

struct TermData {
    uint8_t scroll_req;    // channel screen paging: 0 none, 1 older page, 2 newer page
    uint16_t list_offset;  // first visible list row; on the channel screen, messages scrolled back
    uint16_t shown_count;  // messages drawn by the channel screen's last full drawing
    int32_t term_h;
    int32_t term_w;
    uint32_t sel_addr;  // network byte order
    uint32_t sel_peer;  // network byte order
    uint8_t sel_transfer[8];
    char input[TERM_INPUT_SIZE];
    char err_feedback[TERM_ERR_SIZE];
    uint8_t key;
    uint8_t prompt_redraw;
    uint8_t refresh;
    JXChannel* channel;
    uint16_t input_back;  // the input line's cursor: bytes between it and the end of the line
    uint16_t sel_row;     // 0-based row the highlight of a list was last seen on
    uint16_t quit_ask;    // transfers in progress when quitting was asked; 0: no question shown
};

// Zeroes ctx and asks for the prompt row; 0 (no failure case). The window size is term_get_size's.
int ctx_init();
// Zeroes ctx; 0.
int ctx_close();
TermData* ctx_get();
int32_t ctx_get_term_w();
int32_t ctx_get_term_h();
void ctx_reset_scroll();
// Replaces err_feedback with the formatted text, cut at 100 characters. Shown with the next
// prompt row; the next key read clears it.
void ctx_err_feedback(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
