// Every console message of the module: printf-style formatting onto the C
// runtime's standard output. No newline is added and nothing is flushed.
// Plain C stdio, so every layer may print through it.
#pragma once

#if defined(__GNUC__)
#define KV_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define KV_PRINTF_FORMAT(f, a)
#endif

void ConsoleOut(const char* format, ...) KV_PRINTF_FORMAT(1, 2);
