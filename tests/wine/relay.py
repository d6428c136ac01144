"""Wine's relay transcript of a program run: the Win32 calls the program's own code
made, with their arguments and results, and what the run showed.

A program under test runs with WINEDEBUG=+relay limited to the functions of
interest and to calls made from the program's own module (WineMachine.trace);
each line is a call or a return, "tid:Call dll.Function(arguments) ret=address"
and "tid:Ret  dll.Function() retval=value ret=address".
"""
import re

from winetools import WineError

_CALL = re.compile(r"^([0-9a-f]+):Call (\w+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
_RET = re.compile(r"^([0-9a-f]+):Ret  (\w+)\.(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")


def _unescape(text):
    """Bytes of a string as Wine's debugstr_a shows it."""
    out = bytearray()
    i = 0
    simple = {"n": 10, "r": 13, "t": 9, "\\": 92, '"': 34, "0": 0}
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            if nxt == "x":
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            if nxt in simple:
                out.append(simple[nxt])
                i += 2
                continue
        out += c.encode("latin-1")
        i += 1
    return bytes(out)


def _split_args(text):
    """Relay arguments: a hex number, or a pointer followed by a quoted string."""
    args = []
    i = 0
    while i < len(text):
        m = re.match(r'([0-9a-f]+)(?: (L?)"((?:[^"\\]|\\.)*)")?(?:,|$)', text[i:])
        if not m:
            raise WineError("cannot read relay arguments: " + text)
        number = int(m.group(1), 16)
        if m.group(3) is not None:
            args.append(Arg(number, _unescape(m.group(3))))
        else:
            args.append(Arg(number, None))
        i += m.end()
    return args


class Arg:
    """One relay argument: its 32-bit `value` (a number, a handle, a pointer) and,
    for a string argument, its bytes as `text`."""

    def __init__(self, value, text):
        self.value = value
        self.text = text

    def __repr__(self):
        return "%08x%s" % (self.value, "" if self.text is None else " %r" % self.text)


class Call:
    def __init__(self, dll, name, args):
        self.dll = dll.lower()
        self.name = name
        self.args = args
        self.result = None

    def __repr__(self):
        return "%s(%s) = %s" % (self.name, ", ".join(map(repr, self.args)), self.result)


def read_transcript(path, module_range):
    """The calls of interest made by the program's own code, in order, each with its
    result (None if it never returned). Calls that Wine's DLLs make to each other
    inside a call of ours (MessageBoxA reads the registry, for one) are left out: by
    their return address, and, because a DLL's tail call can leave a return address
    of ours on the stack, also when they start while a call of ours is still open.
    The program is single-threaded: calls from any thread but the one that made its
    first call are not its own either."""
    calls = []
    open_calls = []
    thread = None
    low, high = module_range
    with open(path, "r", encoding="latin-1") as f:
        for line in f:
            line = line.rstrip("\n")
            m = _CALL.match(line)
            if m and low <= int(m.group(5), 16) < high:
                thread = thread or m.group(1)
                if m.group(1) == thread and not open_calls:
                    call = Call(m.group(2), m.group(3), _split_args(m.group(4)))
                    calls.append(call)
                    open_calls.append(call)
                continue
            m = _RET.match(line)
            if m and m.group(1) == thread and open_calls and open_calls[-1].name == m.group(3) \
                    and low <= int(m.group(5), 16) < high:
                open_calls.pop().result = int(m.group(4), 16)
    return calls


# What Wine writes to a program's output when it has no display driver: the desktop
# process could not open the X display or was not ready in time.
_NO_DRIVER = "nodrv_CreateWindow"


class RunResult:
    def __init__(self, exit_code, boxes, calls, transcript):
        self.exit_code = exit_code
        self.boxes = boxes            # window titles in the order the boxes appeared
        self.calls = calls            # relay calls made from the program
        self.transcript = transcript  # path of the full relay transcript

    def named(self, *names):
        return [c for c in self.calls if c.name in names]

    def ended_boxes(self):
        """What went wrong with the program's message boxes that nobody answered:
        MessageBoxA gives 0 or -1 only when the box could not be made or was ended
        under the program, which then goes on as if it had been answered. None when
        every box was answered."""
        ended = [c for c in self.named("MessageBoxA") if c.result in (None, 0, 0xFFFFFFFF)]
        if not ended:
            return None
        with open(self.transcript, encoding="latin-1") as f:
            no_driver = any(_NO_DRIVER in line for line in f)
        return "%d box(es) ended under the program without being answered%s: %s (transcript %s)" % (
            len(ended), ", Wine having no display driver" if no_driver else "",
            "; ".join("%r returned %s" % (c.args[2].text, "nothing" if c.result is None else "%d" % (
                c.result - (1 << 32) if c.result & 0x80000000 else c.result)) for c in ended),
            self.transcript)
