"""Registry files: the text that regedit imports, and regedit's exports read back.
Key names compare without regard to case, as the registry compares them.
"""
import re


def key_under(key, parent):
    """True when the registry key `key` is `parent` or below it (names compared
    without regard to case, as the registry compares them)."""
    k, p = key.lower(), parent.lower()
    return k == p or k.startswith(p + "\\")


def deletions(*keys):
    """Registry file text that removes each key (a full name) with all below it."""
    return "".join("[-%s]\r\n\r\n" % k for k in keys)


def parse_export(path):
    """{key path: {value line name: raw data text}} from a regedit export."""
    with open(path, "rb") as f:
        raw = f.read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("latin-1")
    text = re.sub(r"\\\r?\n\s*", "", text)  # continued hex lines
    keys = {}
    current = None
    for line in text.splitlines():
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
        elif current is not None and line and not line.startswith(";"):
            m = re.match(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$', line)
            if m:
                current[m.group(1)] = m.group(2)
    return keys
