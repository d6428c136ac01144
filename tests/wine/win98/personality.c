/* Windows 98's personality for a program under Wine, installed from DllMain.

   A test copy of the program imports this DLL (tests/wine/win98/pe_copy.py adds the
   import). The loader fills the program's import address table before it calls
   any DllMain, and calls every DllMain before the program's own code runs (its TLS
   callbacks and its C runtime's start-up included). Here the table's entries are
   rewritten so that the program meets what Windows 98 SE would give it:
     - every function Windows 98 exports only as a stub fails as that stub does
       (the generated stubs, make_stubs.py);
     - GetProcAddress hands out the same stubs for those names;
     - RegDeleteKeyA deletes a whole subtree in one call.
   Only the program's own table changes: this DLL's imports, and Wine's DLLs calling
   each other, stay the real functions. */
#include "personality.h"

static unsigned installed;

unsigned win98_personality_installed(void) { return installed; }

/* ---- GetProcAddress ------------------------------------------------------------ */

typedef FARPROC(WINAPI *GetProcAddressFunction)(HMODULE, LPCSTR);
static GetProcAddressFunction real_GetProcAddress;

static const char *base_name(const char *path) {
    const char *base = path;
    for (; *path != '\0'; path++) {
        if (*path == '\\' || *path == '/') {
            base = path + 1;
        }
    }
    return base;
}

/* A name Windows 98 only stubs gets the stub, as its GetProcAddress returns the
   stub's address; ordinals and every other name go to the real function. */
static FARPROC WINAPI hook_GetProcAddress(HMODULE module, LPCSTR name) {
    if (!IS_INTRESOURCE(name)) {
        DWORD saved = GetLastError();
        char path[MAX_PATH];
        DWORD length = GetModuleFileNameA(module, path, sizeof path);
        const struct win98_stub *stub =
            (length > 0 && length < sizeof path) ? win98_find_stub(base_name(path), name) : NULL;
        SetLastError(saved);
        if (stub != NULL) {
            win98_hit("lookup ", stub->dll, "!", stub->name, (const char *)NULL);
            return stub->stub;
        }
    }
    return real_GetProcAddress(module, name);
}

/* ---- RegDeleteKeyA ------------------------------------------------------------- */

/* The program's own import of RegDeleteKeyA, which the thunk below ends in. */
DWORD win98_real_RegDeleteKeyA;

/* Deletes every key below parent\subkey, deepest first, with this DLL's own (real)
   registry functions. A child that cannot go is stepped over; the program's own
   call then fails on the key as the real function fails. */
static void delete_below(HKEY parent, const char *subkey) {
    HKEY key;
    char child[260];  /* a key name has at most 255 characters */
    DWORD index = 0;
    if (RegOpenKeyExA(parent, subkey, 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    while (RegEnumKeyA(key, index, child, sizeof child) == ERROR_SUCCESS) {
        delete_below(key, child);
        if (RegDeleteKeyA(key, child) != ERROR_SUCCESS) {
            index++;
        }
    }
    RegCloseKey(key);
}

/* Called by the thunk with the program's two arguments. A null or empty subkey
   names `key` itself, whose subkeys are left alone: the real function decides. */
void WINAPI win98_delete_below(HKEY key, const char *subkey) {
    DWORD saved = GetLastError();
    win98_hit("subtree ADVAPI32.DLL!RegDeleteKeyA ", subkey != NULL ? subkey : "(null)", (const char *)NULL);
    if (subkey != NULL && subkey[0] != '\0') {
        delete_below(key, subkey);
    }
    SetLastError(saved);
}

/* The program's RegDeleteKeyA: the subtree below the key goes first, then a jump to
   the program's original import, with the program's return address and arguments
   still on the stack. So the real function deletes the (now empty) key and
   returns straight to the program, and a relay transcript shows the program's one
   call with the program's return address; a missing key still gives its 2. The
   calls made in between come from this DLL, which a transcript limited to the
   program's module leaves out. */
void win98_RegDeleteKeyA_thunk(void);
__asm__(".text\n"
        ".globl _win98_RegDeleteKeyA_thunk\n"
        "_win98_RegDeleteKeyA_thunk:\n"
        "\tpushl 8(%esp)\n"  /* subkey */
        "\tpushl 8(%esp)\n"  /* key: the same offset, one push later */
        "\tcall _win98_delete_below@8\n"
        "\tjmp *_win98_real_RegDeleteKeyA\n");

/* ---- The import address table -------------------------------------------------- */

/* What replaces the program's import `dll`!`name`, now `current` in its slot; 0 to
   leave it. */
static DWORD replacement(const char *dll, const char *name, DWORD current) {
    const struct win98_stub *stub = win98_find_stub(dll, name);
    if (stub != NULL) {
        return (DWORD)stub->stub;
    }
    if (win98_same_name(dll, "KERNEL32.DLL", 1) && win98_same_name(name, "GetProcAddress", 0)) {
        real_GetProcAddress = (GetProcAddressFunction)(void (*)(void))current;
        return (DWORD)hook_GetProcAddress;
    }
    if (win98_same_name(dll, "ADVAPI32.DLL", 1) && win98_same_name(name, "RegDeleteKeyA", 0)) {
        win98_real_RegDeleteKeyA = current;
        return (DWORD)win98_RegDeleteKeyA_thunk;
    }
    return 0;
}

static int write_slot(DWORD *slot, DWORD value) {
    DWORD protection;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) {
        return 0;
    }
    *slot = value;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return 1;
}

/* Rewrites the named imports of one descriptor. Without a lookup table
   (OriginalFirstThunk 0, old linkers) the names are gone once the loader has filled
   the slots: such a descriptor is left as it is, and the hits file shows it. */
static unsigned replace_imports(BYTE *image, const IMAGE_IMPORT_DESCRIPTOR *descriptor) {
    const char *dll = (const char *)(image + descriptor->Name);
    const IMAGE_THUNK_DATA32 *names;
    IMAGE_THUNK_DATA32 *slots = (IMAGE_THUNK_DATA32 *)(image + descriptor->FirstThunk);
    unsigned count = 0;
    if (descriptor->OriginalFirstThunk == 0) {
        return 0;
    }
    names = (const IMAGE_THUNK_DATA32 *)(image + descriptor->OriginalFirstThunk);
    for (; names->u1.AddressOfData != 0; names++, slots++) {
        const IMAGE_IMPORT_BY_NAME *by_name;
        DWORD value;
        if (IMAGE_SNAP_BY_ORDINAL32(names->u1.Ordinal)) {
            continue;
        }
        by_name = (const IMAGE_IMPORT_BY_NAME *)(image + names->u1.AddressOfData);
        value = replacement(dll, (const char *)by_name->Name, slots->u1.Function);
        if (value != 0 && write_slot(&slots->u1.Function, value)) {
            count++;
        }
    }
    return count;
}

static unsigned install(void) {
    BYTE *image = (BYTE *)GetModuleHandleA(NULL);
    const IMAGE_NT_HEADERS32 *nt = (const IMAGE_NT_HEADERS32 *)(image + ((const IMAGE_DOS_HEADER *)image)->e_lfanew);
    const IMAGE_DATA_DIRECTORY *imports = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const IMAGE_IMPORT_DESCRIPTOR *descriptor;
    unsigned count = 0;
    if (imports->VirtualAddress == 0) {
        return 0;
    }
    descriptor = (const IMAGE_IMPORT_DESCRIPTOR *)(image + imports->VirtualAddress);
    for (; descriptor->Name != 0; descriptor++) {
        count += replace_imports(image, descriptor);
    }
    return count;
}

static void format_number(char *text, unsigned value) {
    char digits[12];
    unsigned n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) {
        *text++ = digits[--n];
    }
    *text = '\0';
}

/* The entry point itself (linked with -nostdlib: no C runtime to start). */
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    char number[12];
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        real_GetProcAddress = GetProcAddress;
        win98_hits_open();
        installed = install();
        format_number(number, installed);
        win98_hit("installed ", number, (const char *)NULL);
    }
    return TRUE;
}
