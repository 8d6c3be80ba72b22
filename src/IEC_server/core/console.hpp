// Lines on standard output: each written whole and flushed at once, so lines
// of the server thread and of the main thread never mix.
#pragma once

#include <cstdarg>
#include <cstdio>

[[gnu::format(printf, 1, 2)]] inline void printLine(const char* format, ...)
{
    flockfile(stdout);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
    std::fflush(stdout);
    funlockfile(stdout);
}

inline void printEmptyLine()
{
    printLine("%s", "");
}
