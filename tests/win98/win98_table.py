"""The table of what Windows 98 SE does with its W and NT-only functions.

win98-w-and-nt-functions.txt classifies, for KERNEL32, USER32 and ADVAPI32, every
exported function whose name ends in W and the NT-only functions Windows 98 exports
as stubs: `DLL!Function<TAB>implemented` or `DLL!Function<TAB>stub<TAB>FAILURE`,
FAILURE being the 32-bit value the stub returns. Its evidence, one row a line, is in
win98-w-and-nt-functions-sources.tsv. Read by check_pe.py, and by the test DLL that
gives the Wine suites Windows 98's stubs.

A name the table lacks is taken for NT-only when it matches NT_ONLY: the token,
privilege, SID, ACL/ACE, security descriptor, access check, audit, impersonation,
logon, LSA, service, event log, shutdown, window station and user object families.
DDE names are left out (DdeNameService is no service function); the few NT-only
names the pattern misses are classified in the table by name.
"""
import re

TABLE_DLLS = ("KERNEL32.DLL", "USER32.DLL", "ADVAPI32.DLL")
TRUST_LEVELS = ("high", "medium", "low")
NT_ONLY = re.compile(
    r"Token|Privilege|Sid(?![a-z])|Acl(?![a-z])|Ace(?![a-z])|Security|AccessCheck"
    r"|Access(?:Allowed|Denied)|AccessesGranted|Audit|Impersonat|LogonUser|AsUser"
    r"|Lsa[A-Z]|Service|SCManager|EventLog|EventSource|ReportEvent|SystemShutdown"
    r"|WindowStation|UserObject|GenericMask|LocallyUniqueId")


def nt_only_mark(func):
    """The part of the name that makes it look NT-only, or None."""
    if func.startswith("Dde"):
        return None
    match = NT_ONLY.search(func)
    return match.group(0) if match else None


def why_classified(func):
    """Why the table must classify this name: 'W' or the NT-only mark; None if not."""
    if func.endswith("W"):
        return "W"
    return nt_only_mark(func)


class Entry:
    def __init__(self, cls, failure):
        self.cls = cls
        self.failure = failure


def parse_failure(text):
    """A stub's 32-bit failure value: a decimal number, or -1."""
    if not re.fullmatch(r"-1|0|[1-9][0-9]*", text):
        return None
    value = int(text)
    return value if value < 2 ** 32 else None


def parse_line(fields):
    """(dll, func, class, failure) of one table line, or the error in it."""
    name, cls, rest = fields[0], fields[1] if len(fields) > 1 else "", fields[2:]
    dll, sep, func = name.partition("!")
    if not sep or dll not in TABLE_DLLS or not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", func):
        return "'%s' is not DLL!Function with DLL one of %s" % (name, ", ".join(TABLE_DLLS))
    if cls == "implemented" and not rest:
        return dll, func, cls, None
    if cls == "stub" and len(rest) == 1 and parse_failure(rest[0]) is not None:
        return dll, func, cls, parse_failure(rest[0])
    return "%s: expected 'implemented' or 'stub<TAB>FAILURE' (decimal or -1)" % name


def read_table(path, exports):
    """{(dll, func): Entry} and the problems: a malformed line, a name twice, or a
    name the DLL's export list lacks."""
    table, problems = {}, []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            where = "%s:%d" % (path, number)
            parsed = parse_line(line.split("\t"))
            if isinstance(parsed, str):
                problems.append("%s: %s" % (where, parsed))
                continue
            dll, func, cls, failure = parsed
            if (dll, func) in table:
                problems.append("%s: %s!%s is classified twice" % (where, dll, func))
            elif func not in exports[dll]:
                problems.append("%s: %s!%s is not in that DLL's Windows 98 SE export list" % (where, dll, func))
            else:
                table[(dll, func)] = Entry(cls, failure)
    return table, problems


def check_sources(path, table):
    """Every table line has one evidence row of the same class, with a trust level
    and evidence; no row without a line."""
    problems, seen = [], set()
    with open(path, encoding="utf-8") as f:
        rows = [line.rstrip("\n").split("\t") for line in f][1:]
    for number, row in enumerate(rows, 2):
        if len(row) != 5 or row[3] not in TRUST_LEVELS or not row[4].strip():
            problems.append("%s:%d: expected dll, function, class, trust (%s), evidence"
                            % (path, number, "/".join(TRUST_LEVELS)))
            continue
        key = (row[0], row[1])
        entry = table.get(key)
        if entry is None or entry.cls != row[2] or key in seen:
            problems.append("%s:%d: %s!%s %s matches no line of the table, or repeats one"
                            % (path, number, row[0], row[1], row[2]))
        seen.add(key)
    for dll, func in sorted(set(table) - seen):
        problems.append("%s!%s: the table classifies it without evidence in %s" % (dll, func, path))
    return problems


def check_coverage(table, exports):
    """Every exported W or NT-looking name of the three DLLs is classified."""
    return ["%s!%s: exported, %s, and not in the table" % (dll, func, describe(why_classified(func)))
            for dll in TABLE_DLLS for func in sorted(exports[dll])
            if why_classified(func) and (dll, func) not in table]


def describe(reason):
    return "a W function" if reason == "W" else "NT-only by its name ('%s')" % reason
