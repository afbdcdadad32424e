// A small terminal model for the tests: replays what the program drew (printable bytes, CR, LF,
// CSI sequences) onto a grid of rows, so layouts can be checked by row and column.
#pragma once

#include <string>
#include <vector>

struct ScreenGrid {
    int w, h;
    int row = 0, col = 0;
    bool wrap_pending = false;
    int scrolls = 0;  // lines pushed off the top: a drawing taller than the window
    std::vector<std::string> rows;

    ScreenGrid(int width, int height) : w(width), h(height), rows(height, std::string(width, ' ')) {}

    void clear()
    {
        for (auto& r : rows)
            r.assign(w, ' ');
    }

    void line_feed()
    {
        if (row + 1 < h) {
            row++;
        } else {
            rows.erase(rows.begin());
            rows.emplace_back(w, ' ');
            scrolls++;
        }
    }

    void feed(const std::string& s)
    {
        for (size_t i = 0; i < s.size(); i++) {
            char c = s[i];
            if (c == '\x1b' && i + 1 < s.size() && s[i + 1] == '[') {
                size_t j = i + 2;
                while (j < s.size() && !(s[j] >= 0x40 && s[j] <= 0x7e))
                    j++;
                if (j >= s.size())
                    return;
                std::string params = s.substr(i + 2, j - i - 2);
                if (s[j] == 'H') {
                    row = col = 0;
                    wrap_pending = false;
                } else if (s[j] == 'J' && (params == "2" || params == "3")) {
                    clear();
                }
                i = j;
                continue;
            }
            if (c == '\r') {
                col = 0;
                wrap_pending = false;
            } else if (c == '\n') {
                line_feed();
                wrap_pending = false;
            } else if (static_cast<unsigned char>(c) >= 0x20) {
                if (wrap_pending) {
                    col = 0;
                    line_feed();
                    wrap_pending = false;
                }
                rows[row][col] = c;
                if (col + 1 < w)
                    col++;
                else
                    wrap_pending = true;
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
        if (s[i] == '\x1b' && i + 1 < s.size() && s[i + 1] == '[') {
            size_t j = i + 2;
            while (j < s.size() && !(s[j] >= 0x40 && s[j] <= 0x7e))
                j++;
            i = j;
            continue;
        }
        out += s[i];
    }
    return out;
}
