// A small terminal model for the tests: replays what the program drew (printable bytes, CR, LF,
// CSI sequences) onto a grid of rows, so layouts can be checked by row and column.
#pragma once

#include <string>
#include <vector>

// Index of the final byte of the CSI sequence at s[i], npos when s[i] starts none or it is cut short.
inline size_t csi_end(const std::string& s, size_t i)
{
    if (s[i] != '\x1b' || i + 1 >= s.size() || s[i + 1] != '[')
        return std::string::npos;
    size_t j = i + 2;
    while (j < s.size() && !(s[j] >= 0x40 && s[j] <= 0x7e))
        j++;
    return j < s.size() ? j : s.size();
}

struct ScreenGrid {
    int w, h;
    int row = 0, col = 0;
    bool wrap_pending = false;
    int scrolls = 0;  // lines pushed off the top: a drawing taller than the window
    std::vector<std::string> rows;

    ScreenGrid(int width, int height) : w(width), h(height), rows(height, std::string(width, ' ')) {}

    void line_feed()
    {
        wrap_pending = false;
        if (row + 1 < h) {
            row++;
            return;
        }
        rows.erase(rows.begin());
        rows.emplace_back(w, ' ');
        scrolls++;
    }

    void feed(const std::string& s)
    {
        for (size_t i = 0; i < s.size(); i++) {
            const char c = s[i];
            size_t j = csi_end(s, i);
            if (j == s.size())
                return;
            if (j != std::string::npos) {
                if (s[j] == 'H') {
                    row = col = 0;
                    wrap_pending = false;
                } else if (s[j] == 'J' && (s[j - 1] == '2' || s[j - 1] == '3') && j == i + 3) {
                    for (auto& r : rows)
                        r.assign(w, ' ');
                }
                i = j;
            } else if (c == '\r') {
                col = 0;
                wrap_pending = false;
            } else if (c == '\n') {
                line_feed();
            } else if (static_cast<unsigned char>(c) >= 0x20) {
                if (wrap_pending) {
                    col = 0;
                    line_feed();
                }
                rows[row][col] = c;
                wrap_pending = col + 1 == w;
                col += wrap_pending ? 0 : 1;
            }
        }
    }

    // Row r without trailing blanks.
    std::string text(int r) const
    {
        std::string t = rows[r];
        t.erase(t.find_last_not_of(' ') + 1);
        return t;
    }
};

// The bytes of s with every CSI sequence removed.
inline std::string strip_csi(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        size_t j = csi_end(s, i);
        if (j == std::string::npos)
            out += s[i];
        else
            i = j;
    }
    return out;
}
