/* The Windows 98 personality DLL: what its parts share. */
#ifndef WIN98_PERSONALITY_H
#define WIN98_PERSONALITY_H

#include <windows.h>

/* One function Windows 98 SE exports only as a failing stub. `dll` is upper case
   with its extension ("KERNEL32.DLL"). */
struct win98_stub {
    const char *dll;
    const char *name;
    FARPROC stub;
};

/* Generated from the table by make_stubs.py; ends with an all-null row. */
extern const struct win98_stub win98_stubs[];
extern const unsigned win98_stub_count;

/* The common end of every stub: records `call DLL!Function`, sets the last error to
   ERROR_CALL_NOT_IMPLEMENTED and returns `failure`. */
DWORD win98_stub_failed(unsigned index, DWORD failure);

/* Appends one line, the concatenation of the strings up to the null pointer, to the
   hits file (IRPATCH_WIN98_HITS); nothing without one. Keeps the last error. */
void win98_hit(const char *first, ...);

/* Reads IRPATCH_WIN98_HITS once, before the first hit. */
void win98_hits_open(void);

/* Names compared byte for byte, or with ASCII letters of either case the same. */
int win98_same_name(const char *a, const char *b, int ignore_case);

/* The stub for `name` of the DLL `dll` (compared without case), or null. */
const struct win98_stub *win98_find_stub(const char *dll, const char *name);

/* The one export, which the test copies of a program import so that the loader
   loads this DLL: how many import address table entries were replaced. */
__declspec(dllexport) unsigned win98_personality_installed(void);

#endif
