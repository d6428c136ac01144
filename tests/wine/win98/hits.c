/* The stubs' common end and the hits file.

   The hits file is how a test learns that the personality took effect: one line a
   hit, appended and closed at once, so that a program killed in the middle still
   leaves every earlier line. Writing it must not change what the program sees, so
   the last error is saved and restored around it. This DLL links no C runtime:
   strings are put together by hand. */
#include <stdarg.h>

#include "personality.h"

#define HITS_VARIABLE "IRPATCH_WIN98_HITS"

static char hits_path[1024];

void win98_hits_open(void) {
    DWORD length = GetEnvironmentVariableA(HITS_VARIABLE, hits_path, sizeof hits_path);
    if (length == 0 || length >= sizeof hits_path) {
        hits_path[0] = '\0';  /* unset, or too long to be a path: no file */
    }
}

static unsigned append(char *line, unsigned used, unsigned size, const char *text) {
    while (*text != '\0' && used + 2 < size) {  /* room kept for "\n" and the end */
        line[used++] = *text++;
    }
    return used;
}

void win98_hit(const char *first, ...) {
    char line[700];
    unsigned used = 0;
    const char *part;
    va_list parts;
    DWORD saved = GetLastError();
    HANDLE file;
    DWORD written;

    if (hits_path[0] == '\0') {
        return;
    }
    va_start(parts, first);
    for (part = first; part != NULL; part = va_arg(parts, const char *)) {
        used = append(line, used, sizeof line, part);
    }
    va_end(parts);
    line[used++] = '\n';
    file = CreateFileA(hits_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, line, used, &written, NULL);
        CloseHandle(file);
    }
    SetLastError(saved);
}

DWORD win98_stub_failed(unsigned index, DWORD failure) {
    win98_hit("call ", win98_stubs[index].dll, "!", win98_stubs[index].name, (const char *)NULL);
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return failure;
}

static char upper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

int win98_same_name(const char *a, const char *b, int ignore_case) {
    for (;; a++, b++) {
        char x = ignore_case ? upper(*a) : *a;
        char y = ignore_case ? upper(*b) : *b;
        if (x != y) {
            return 0;
        }
        if (x == '\0') {
            return 1;
        }
    }
}

const struct win98_stub *win98_find_stub(const char *dll, const char *name) {
    unsigned i;
    for (i = 0; i < win98_stub_count; i++) {
        if (win98_same_name(win98_stubs[i].name, name, 0) && win98_same_name(win98_stubs[i].dll, dll, 1)) {
            return &win98_stubs[i];
        }
    }
    return NULL;
}
