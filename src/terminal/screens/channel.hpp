// channel: the pieces of the channel screen that tests and other drawings call directly: the
// header bar, the message area and one stored message as a channel line. The screen's five
// operations are declared with every other screen's in screens.hpp.
// Calls io, ctx, log, storage (message store, read only) and the engine's registry (read only).
#pragma once

#include <cstddef>

struct JXStoredMsg;

// The green header bar of the open channel: who is on the other side and whether it is online.
void ch_data_bar();
// As many stored messages of the open channel as fit, newest at the bottom, paged by
// ctx.scroll_req / list_offset; the channel's unread count is 0 afterwards.
void ch_display_texts();
// One stored message as a channel line: time, author, direction marker and text in the colour of
// its type. Names and texts are drawn through the sanitizer. With skip_rows, the first rows of the
// wrapped line (prefix included) are left out.
void io_print_txt(const JXStoredMsg* msg, size_t skip_rows = 0);
