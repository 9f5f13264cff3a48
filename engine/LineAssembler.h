#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Cuts received bytes into CR LF terminated lines. The work is linear in the
// bytes received: each byte is searched once, and the consumed lines are
// dropped from the front once per call, not once per line.
struct LineAssembler {
    std::string pending;     // bytes of a line not yet complete
    std::size_t searched = 0; // the prefix of pending that holds no CR LF

    // Appends bytes and calls onLine(line) for every complete line, in order,
    // with the line's bytes without CR LF.
    template <typename OnLine>
    void Feed(std::string_view bytes, OnLine&& onLine)
    {
        pending.append(bytes);
        std::size_t lineStart = 0;
        for (;;) {
            const std::size_t end = pending.find("\r\n", searched);
            if (end == std::string::npos)
                break;
            onLine(std::string_view(pending).substr(lineStart, end - lineStart));
            lineStart = end + 2;
            searched = lineStart;
        }
        pending.erase(0, lineStart);
        // A CR at the very end may pair with the LF of the next read.
        searched = pending.empty() ? 0 : pending.size() - 1;
    }
};
