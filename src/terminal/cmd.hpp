// cmd: the commands typed on the prompt ("/join 224.0.0.1", "/help", ...), plain lines sent as
// texts, and the function keys that stand for commands. Every refusal goes to the prompt row
// through ctx_err_feedback and changes nothing else.
// Calls ctx, state, remember, doctor (routes), log, storage (configuration, file checks), cli job
// (a folder is sent by a send job; why an upload was refused) and the engine's public operations
// (join, send a text, offer a file, change the username).
#pragma once

#include <cstddef>
#include <cstdint>

// The longest address after "/join ": a dotted quad.
inline constexpr size_t CMD_ADDR_MAX = 15;

// Evaluates a typed line of n characters (line need not be terminated at n): a command when it
// starts with "/", else a text for the open channel. Lines come from the input line, so bytes past
// its TERM_INPUT_MAX are never read.
void cmd_eval(const char* line, size_t n);
// Enter on the screens that take commands: the typed line (ctx.input), when there is one, goes to
// cmd_eval and is cleared.
void cmd_eval_input();
// F1..F8 run their commands; any other key does nothing.
void cmd_fkey_eval(uint8_t key);
// Esc on the home screen and Ctrl-C: the program ends at once while no file moves; otherwise the
// prompt row asks first (ctx.quit_ask), and only y answers yes.
void cmd_quit();
// Transfers quitting would break: every upload not finished (being hashed, offered, waiting for the
// other side or sending) and every accepted download. Offers not accepted yet do not count.
uint16_t cmd_transfers_moving();

// The handlers; each takes the text after the command word and its length where it has one.
void cmd_join(const char* address, size_t n);
// The refusal of a join with the engine's code rc, for address (a dotted quad or what was typed).
void cmd_join_refused(uint8_t rc, const char* address);
void cmd_rejoin();
void cmd_change_username(const char* name, size_t n);
void cmd_send_file(const char* path, size_t n);
// text is NUL-terminated.
void cmd_send_msg(const char* text);

void cmd_display_networks();
void cmd_disp_peers();
void cmd_disp_channels();
void cmd_disp_dl();
void cmd_disp_ul();
void cmd_disp_lans();
void cmd_disp_help();
