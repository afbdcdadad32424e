#include "terminal/screens/transfer_list.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/comm.hpp"
#include "engine/downloads.hpp"
#include "engine/registry.hpp"
#include "engine/transfers.hpp"
#include "engine/uploads.hpp"
#include "foundation/meter.hpp"
#include "foundation/timer.hpp"
#include "foundation/utf8.hpp"
#include "foundation/utility.hpp"
#include "storage/fso.hpp"
#include "storage/transfer_files.hpp"
#include "terminal/screens/list_draw.hpp"
#include "terminal/screens/screens.hpp"

namespace {

// One row: a transfer in progress or a finished one, with the network that holds it.
struct Row {
    JXNetwork* net;
    JXTransfer* live;
    JXTransferFin* fin;
    const uint8_t* id() const { return live != nullptr ? live->id : fin->id; }
    const JXFileMeta& meta() const { return live != nullptr ? live->meta : fin->meta; }
    uint32_t addr() const { return live != nullptr ? live->addr : fin->addr; }
};

// Every network's transfers in progress in set order, then every network's finished ones.
std::vector<Row> rows_of(const TransferScreen* s)
{
    std::vector<Row> rows;
    const jx_list* nets = &jx_comm_get()->networks;
    for (int pass = 0; pass < 2; pass++) {
        for (jx_list_elmt* n = jx_list_head(nets); n != nullptr; n = jx_list_next(n)) {
            auto* net = static_cast<JXNetwork*>(jx_list_data(n));
            const jx_list* list = pass == 0 ? (s->download ? &net->downloads : &net->uploads)
                                            : (s->download ? &net->fin_downloads : &net->fin_uploads);
            for (jx_list_elmt* e = jx_list_head(list); e != nullptr; e = jx_list_next(e)) {
                if (pass == 0)
                    rows.push_back({net, static_cast<JXTransfer*>(jx_list_data(e)), nullptr});
                else
                    rows.push_back({net, nullptr, static_cast<JXTransferFin*>(jx_list_data(e))});
            }
        }
    }
    return rows;
}

bool none(const uint8_t* id)
{
    static const uint8_t zero[8] = {};
    return std::memcmp(id, zero, 8) == 0;
}

// 1-based position of the highlighted row; 0 for none, the row count when it matches no row.
size_t sel_pos(const std::vector<Row>& rows, const uint8_t* sel)
{
    if (none(sel))
        return 0;
    for (size_t i = 0; i < rows.size(); i++) {
        if (std::memcmp(rows[i].id(), sel, 8) == 0)
            return i + 1;
    }
    return rows.size();
}

// The highlight stays on its transfer while others come and go; the first row on opening.
void keep_sel(const std::vector<Row>& rows, uint8_t* sel)
{
    long found = -1;
    for (size_t i = 0; i < rows.size() && found < 0 && !none(sel); i++) {
        if (std::memcmp(rows[i].id(), sel, 8) == 0)
            found = static_cast<long>(i);
    }
    const long row = list_keep_row(rows.size(), found);
    if (row < 0)
        std::memset(sel, 0, 8);
    else
        std::memmove(sel, rows[static_cast<size_t>(row)].id(), 8);
}

// Enter on an offer: it is refused, with the reason, when its file cannot fit or be made.
void accept(const std::vector<Row>& rows, const uint8_t* sel)
{
    const JXTransfer* d = nullptr;
    for (const Row& r : rows)
        if (r.live != nullptr && r.live->state == DL_PENDING && std::memcmp(r.live->id, sel, 8) == 0)
            d = r.live;
    uint64_t room = 0;
    if (d != nullptr && jx_fso_downloads_free(&room) && d->meta.size > room) {
        char need[16], free_now[16];
        jx_bytes_to_human(d->meta.size, need, sizeof need);
        jx_bytes_to_human(room, free_now, sizeof free_now);
        ctx_err_feedback("Download refused: %s does not fit in the %s free in downloads/", need, free_now);
        return;
    }
    if (jx_accept_download(sel) != 0 && d != nullptr)
        ctx_err_feedback("Download refused: its file could not be made in downloads/ (see jx_internal/log)");
}

// "%3hu%%[" then p / 5 '#' in `done` colour and the rest as `rest` characters, "]" in magenta.
void bar(unsigned p, const char* pct_colour, const char* done, char rest, const char* rest_colour)
{
    if (p > 100)
        p = 100;
    io_printf("%s%3hu%%" IO_MAGENTA "[%s", pct_colour, static_cast<unsigned short>(p), done);
    for (unsigned i = 0; i < jx_bar_filled(p); i++)
        io_puts("#");
    io_puts(rest_colour);
    for (unsigned i = jx_bar_filled(p); i < JX_BAR_CELLS; i++)
        io_printf("%c", rest);
    io_puts(IO_MAGENTA "]");
}

void full_bar()
{
    bar(100, IO_GREEN, IO_GREEN, '.', IO_MAGENTA);
}

void speed(double v)
{
    char text[32];
    jx_speed_to_human(v, text, sizeof text);
    io_printf(" %s", text);
}

void eta_line(const char* label, bool shown, uint64_t seconds)
{
    io_puts(IO_YELLOW);
    io_puts(label);
    io_puts(IO_MAGENTA);
    if (shown) {
        char buf[64];
        jx_sec_to_eta(static_cast<int64_t>(seconds), buf, sizeof buf);
        io_puts(buf);
    } else {
        io_puts("N/A");
    }
    io_puts("\r\n");
}

// An empty directory stands for `none`: "." for a file offered by a relative name, downloads/ for
// an offer not accepted yet (its file is made there on Enter).
void path_and_digest(const JXFileMeta& m, int w, const std::string& none = ".")
{
    io_puts(IO_YELLOW "File path: " IO_MAGENTA);
    const std::string given = m.dir[0] != '\0' ? io_safe(m.dir, sizeof m.dir) : none;
    std::string dir = given.empty() ? std::string(".") : given;
    // A received file is stored under a safe name; the name it was offered under is only shown.
    if (m.offered[0] != '\0' && strncmp(m.offered, m.name, sizeof m.offered) != 0)
        dir += "  (offered as " + io_safe(m.offered, sizeof m.offered) + ")";
    if (w > 14 && jx_str_cells(dir.c_str(), dir.size()) > static_cast<size_t>(w - 11))
        io_printf("%s...",
                  dir.substr(0, jx_str_head(dir.c_str(), dir.size(), static_cast<size_t>(w - 14), nullptr))
                      .c_str());
    else
        io_puts(dir.c_str());
    io_puts("\r\n" IO_YELLOW "SHA256: " IO_MAGENTA);
    const int k = w > 71 ? 0 : (76 - w) / 2;
    for (int i = 0; i < 32 - k; i++)
        io_printf("%02X", m.digest[i]);
    if (k > 0)
        io_puts("...");
    io_puts(IO_RESET "\r\n");
}

void live_details(const TransferScreen* s, const JXTransfer* t, int w)
{
    const uint64_t size = t->meta.size;
    const bool computed = size != 0 && (s->download ? t->state != DL_PENDING
                                                    : t->state != UL_HASHING && t->state != UL_PENDING);
    io_puts(IO_YELLOW "Progress: ");
    if (computed) {
        // The segment being requested is not complete yet; only whole segments count as done.
        const double done = static_cast<double>(size) - static_cast<double>(t->bytes_left) -
                            static_cast<double>(t->chunk_size) * static_cast<double>(t->chunk_count);
        bar(done > 0 ? jx_percent(static_cast<uint64_t>(done), size) : 0, IO_MAGENTA,
            IO_GREEN, '.', IO_MAGENTA);
    } else {
        bar(0, IO_MAGENTA, IO_GREEN, '.', IO_MAGENTA);
    }
    if (!s->download && t->state == UL_HASHING)
        io_puts(IO_YELLOW "Analyzing..." IO_RESET);
    else if (s->download || (t->state != UL_SEND_META && t->state != UL_PENDING))
        speed(t->speed);
    io_puts("\r\n");
    eta_line("ETA: ", s->download ? t->state != DL_PENDING && t->speed != 0 : t->state > UL_PENDING, t->eta);
    path_and_digest(t->meta, w, s->download ? io_safe(fso.root_path, JX_FSO_PATH_MAX) + "/downloads/" : ".");
}

void fin_details(const TransferScreen* s, const JXNetwork* net, const JXTransferFin* f, int w)
{
    io_puts(IO_YELLOW "Progress: ");
    switch (f->state) {
    case FIN_COMPLETED:
        full_bar();
        if (s->download)
            io_puts(IO_YELLOW "Ctrl-t chksum");
        break;
    case FIN_HASH_OK:
        if (s->download) {
            full_bar();
            io_puts(IO_GREEN "Chksum OK");
        }
        break;
    case FIN_HASH_CHECKING:
        if (!s->download)
            break;
        if (const JXVerifyTask* v = jx_verify_task_of(f); v != nullptr) {
            const uint64_t hashed = v->hash.size;
            const uint64_t size = f->meta.size;
            bar(size != 0 ? jx_percent(hashed, size) : 100, IO_MAGENTA, IO_GREEN, '#', IO_YELLOW);
            char human[10];
            jx_bytes_to_human(hashed, human, sizeof human);
            io_printf(IO_GREEN "%s", human);
        } else {
            full_bar();
        }
        break;
    case FIN_HASH_BAD:
        if (s->download)
            io_puts(IO_RED "Checksum failed! Consider removing the file");
        break;
    case FIN_FAILED:
        io_puts(s->download ? IO_RED "Download failed" : IO_RED "Upload failed");
        break;
    case FIN_NONE:
        io_puts(IO_RED "Declined by ");
        io_puts(io_safe(io_peer_name(net->addr, f->addr).c_str(), JX_USERNAME_MAX).c_str());
        break;
    default:
        break;
    }
    io_puts("\r\n");
    const bool took = f->state == FIN_COMPLETED ||
                      (s->download && (f->state == FIN_HASH_CHECKING || f->state == FIN_HASH_OK));
    eta_line("Completed in: ", took, f->end_time - f->start_time);
    path_and_digest(f->meta, w);
}

}  // namespace

const TransferScreen DL_SCREEN = {true, "Downloads", "Source", "Download details", dl_list_dl_state};
const TransferScreen UL_SCREEN = {false, "Uploads", "Destination", "Upload details", ul_list_ul_state};

void transfer_list_reset()
{
    std::memset(ctx_get()->sel_transfer, 0, sizeof ctx_get()->sel_transfer);
    ctx_get()->sel_row = 0;
    ctx_reset_scroll();
}

void transfer_list_display(const TransferScreen* s)
{
    TermData* t = ctx_get();
    const auto w = static_cast<uint16_t>(t->term_w);
    const auto free = static_cast<uint16_t>(w - 27);  // three fixed columns (3, 9, 11) and four bars
    const int aw = free / 2;
    const int nw = free - aw;
    io_puts(IO_RESET IO_YELLOW);
    io_printf("%*s|%*s|%*s|%*s|%*s", 3, "No", nw, "Filename", aw, s->peer_header, 9, "Size", 11, "Status");
    io_puts(IO_RESET "\r\n");

    const std::vector<Row> rows = rows_of(s);
    keep_sel(rows, t->sel_transfer);
    const auto height = static_cast<uint16_t>(t->term_h > 9 ? t->term_h - 9 : 0);
    io_compute_list_offset(static_cast<uint16_t>(sel_pos(rows, t->sel_transfer)), height);
    const Row* shown = nullptr;
    int drawn = 0;
    for (size_t i = t->list_offset; i < rows.size() && drawn < height; i++, drawn++) {
        const Row& r = rows[i];
        const bool sel = std::memcmp(r.id(), t->sel_transfer, 8) == 0;
        if (sel)
            shown = &r;
        io_color(sel ? IO_SEL : IO_GREEN);
        io_printf("%*hu|", 3, static_cast<unsigned short>(i + 1));
        list_cell(r.meta().name, nw, true, true);
        list_cell(jx_ip_str(r.addr()).s, aw, true, false);
        char size[10];
        jx_bytes_to_human(r.meta().size, size, sizeof size);
        io_printf("%*s|%*s", 9, size, 11,
                  r.live != nullptr ? s->state_word(r.live->state) : io_fin_state_str(r.fin->state));
        io_puts(IO_RESET "\r\n");
    }
    io_empty_lines(height - drawn);
    io_top_bar_title(s->details);
    io_puts(IO_RESET);
    if (shown == nullptr) {
        io_empty_lines(3);
        io_puts(IO_RESET);
        io_empty_lines(1);
    } else if (shown->live != nullptr) {
        live_details(s, shown->live, w);
    } else {
        fin_details(s, shown->net, shown->fin, w);
    }
}

bool transfer_list_keys(const TransferScreen* s)
{
    TermData* t = ctx_get();
    if (t->key == KEY_NONE)
        return false;  // the highlight is kept by each drawing; a key needs it kept now
    uint8_t* sel = t->sel_transfer;
    const std::vector<Row> rows = rows_of(s);
    keep_sel(rows, sel);
    switch (t->key) {
    case KEY_ESC:
        state_set(t->channel != nullptr ? STATE_CHANNEL : STATE_START);
        break;
    case KEY_ENTER:
        if (!s->download)
            return false;
        accept(rows, sel);
        break;
    case KEY_DEL: {
        for (const Row& r : rows) {
            if (std::memcmp(r.id(), sel, 8) != 0)
                continue;
            // A download in progress loses its partial file with it, and its uploader is told; a
            // finished one keeps its file.
            if (r.live != nullptr)
                (void)(s->download ? jx_cancel_dl(r.net, sel) : jx_rm_ul(r.net, sel));
            else
                (void)jx_rm_fin(s->download ? &r.net->fin_downloads : &r.net->fin_uploads, sel);
            break;
        }
        break;
    }
    case KEY_UP:
    case KEY_DOWN: {
        // After keep_sel the highlight is on a row, or on none when there is no row. No wrap
        // past either end.
        const size_t pos = sel_pos(rows, sel);
        if (pos == 0)
            break;
        const size_t to =
            t->key == KEY_DOWN ? std::min(pos + 1, rows.size()) : std::max<size_t>(pos, 2) - 1;
        std::memmove(sel, rows[to - 1].id(), 8);
        break;
    }
    case KEY_CTRL_T:
        if (!s->download)
            return false;
        for (const Row& r : rows) {
            if (r.fin != nullptr && std::memcmp(r.fin->id, sel, 8) == 0) {
                (void)jx_verify_download(r.fin);  // refused for a record that was not completed
                break;
            }
        }
        break;
    default:
        return false;
    }
    if (t->key == KEY_ESC)
        return false;
    t->key = KEY_NONE;
    return true;
}

bool transfer_list_busy(const TransferScreen* s)
{
    for (const Row& r : rows_of(s)) {
        if (r.live != nullptr ? (s->download ? r.live->state != DL_PENDING : r.live->state != UL_PENDING)
                              : r.fin->state == FIN_HASH_CHECKING)
            return true;
    }
    return false;
}

void transfer_list_update(const TransferScreen* s, ScreenFrame* frame)
{
    // Ten frames a second while something moves: progress at full speed changes visibly that often,
    // and a frame costs one write.
    constexpr int64_t FRAME_US = 100000;
    static int64_t last_redraw = 0;
    if (transfer_list_keys(s))
        frame_redraw(frame);
    const int64_t now = jx_clock_now_us();
    if ((now - last_redraw >= FRAME_US || now < last_redraw) && transfer_list_busy(s)) {
        last_redraw = now;
        frame_redraw(frame);
    }
    frame_update_tail(frame, true);
}

const char* dl_list_dl_state(uint8_t state)
{
    switch (state) {
    case DL_PENDING:
        return "Pending";
    case DL_REQUESTED:
    case DL_WAIT:
        return "Downloading";
    default:
        return "Unknown";
    }
}

const char* ul_list_ul_state(uint8_t state)
{
    switch (state) {
    case UL_HASHING:
        return "Analyzing";
    case UL_SEND_META:
    case UL_PENDING:
        return "Pending";
    case UL_SEND_BATCH:
    case UL_BATCH_DONE:
        return "Uploading";
    default:
        return "Unknown";
    }
}

void dl_list_display()
{
    transfer_list_display(&DL_SCREEN);
}

void ul_list_display()
{
    transfer_list_display(&UL_SCREEN);
}
