"""The i486DX's instruction set, as i686-w64-mingw32-objdump writes it (AT&T syntax).

check_cpu.py passes an instruction only when its mnemonic is listed here and every
register it names is one an i486 has. Anything else fails: a later instruction, an
unknown one, objdump's "(bad)".

When each instruction came: Intel 64 and IA-32 Architectures Software Developer's
Manual, Vol. 1 ch. 5 and Vol. 2 (the instructions and their opcode maps); AMD64
Architecture Programmer's Manual Vol. 3, appendix "Instruction subsets and CPUID
feature flags". Intel's i486 Microprocessor Programmer's Reference Manual lists the
same set.

How objdump spells them, measured on binutils 2.40 by disassembling every one- and
two-byte opcode with each ModRM: a size suffix (b, w, l) only where no register shows
the operand size, so both forms are listed; x87 memory operands take s (16-bit
integer or 32-bit real), l (32-bit), ll (64-bit integer) and t (80-bit), and the
16-bit environment forms s. FWAIT and the x87 instruction after it are written as
one (fstsw is 9B plus fnstsw). Each row lists its suffixes whole, never a pattern:
"cmov" + "l", "fcom" + "i", "mov" + "q" or "fist" + "tp" cannot be put together
from it.
"""
import re


def _table(text):
    """{mnemonic} from "NAME NAME ... | SUFFIX SUFFIX ..." rows; "-" is no suffix."""
    names = set()
    for row in text.strip().split("\n"):
        bases, suffixes = row.split("|")
        for base in bases.split():
            names.update(base + ("" if s == "-" else s) for s in suffixes.split())
    return names


# 8086, 80186, 80286 and 80386 integer instructions (SDM Vol. 1 5.1; the 186's
# ENTER, LEAVE, BOUND, PUSHA, INS, OUTS; the 386's 32-bit forms, bit tests, SETcc,
# SHLD/SHRD, MOVZX/MOVSX, LFS/LGS/LSS). objdump writes SAL as shl, CBW CWDE CWD CDQ
# as cbtw cwtl cwtd cltd, far CALL/JMP/RET as lcall ljmp lret, MOVZX and MOVSX with
# both sizes (movzbl), the string instructions with their operands or a size suffix.
INTEGER = _table("""
    add adc sub sbb and or xor cmp test mov         | - b w l
    inc dec neg not mul imul div idiv               | - b w l
    rol ror rcl rcr shl shr sar                     | - b w l
    xchg lea lds les lfs lgs lss bound              | - w l
    push pop pushf popf pusha popa enter leave      | - w l
    call jmp ret lcall ljmp lret iret               | - w l
    loop loope loopne jcxz jecxz                    | - w l
    jo jno jb jae je jne jbe ja js jns jp jnp jl jge jle jg | -
    seto setno setb setae sete setne setbe seta     | -
    sets setns setp setnp setl setge setle setg     | -
    bt bts btr btc bsf bsr shld shrd                | - w l
    movzbl movzbw movzwl movsbl movsbw movswl       | -
    movs cmps lods stos scas ins outs in out        | - b w l
    xlat                                            | - b
    cbtw cwtl cwtd cltd                             | -
    aaa aas daa das aam aad                         | -
    clc stc cmc cld std cli sti lahf sahf           | -
    int int3 into hlt fwait nop                     | -
""")

# 80286 and 80386 system instructions (SDM Vol. 2; protected mode came with the 286).
# The 386's MOV to and from control, debug and test registers is objdump's mov,
# above; REGISTERS below says which of those registers a 486 has.
SYSTEM = _table("""
    lgdt sgdt lidt sidt                             | - w l
    lldt sldt ltr str lmsw smsw verr verw lar lsl   | - w l
    arpl clts                                       | -
""")

# What the 486 added (SDM Vol. 1 5.1 "Intel486 processor"; AMD APM Vol. 3 lists
# them in the base set).
I486_ADDITIONS = _table("""
    bswap invd wbinvd invlpg                        | -
    cmpxchg xadd                                    | - b w l
""")

# The 8087, 287 and 387 floating-point instructions the 486DX has on chip (SDM Vol. 1
# ch. 8; the 387's FUCOM family, FPREM1, FSIN, FCOS, FSINCOS). Left out: FCMOVcc and
# FCOMI/FUCOMI (Pentium Pro), FISTTP (SSE3), FFREEP, and the 8087's and 287's FENI,
# FDISI, FSETPM, which a 387 ignores.
X87 = _table("""
    fadd fsub fsubr fmul fdiv fdivr                 | - s l p
    fiadd fisub fisubr fimul fidiv fidivr           | s l
    fcom fcomp                                      | - s l
    ficom ficomp                                    | s l
    fcompp fucom fucomp fucompp ftst fxam           | -
    fld fstp                                        | - s l t
    fst                                             | - s l
    fild fistp                                      | s l ll
    fist                                            | s l
    fbld fbstp fxch ffree                           | -
    fld1 fldz fldpi fldl2e fldl2t fldlg2 fldln2     | -
    fabs fchs fsqrt fscale frndint fxtract fprem fprem1 | -
    f2xm1 fyl2x fyl2xp1 fptan fpatan fsin fcos fsincos  | -
    fincstp fdecstp fnop fninit fnclex finit fclex  | -
    fldcw fnstcw fstcw fnstsw fstsw                 | -
    fldenv fnstenv fstenv frstor fnsave fsave       | - s
""")

# Later names for bytes that do the same on a 486. UD2 (0F 0B, Pentium Pro) names an
# opcode that faults: on the 486 the same two bytes raise the same invalid-opcode
# exception; GCC ends __builtin_trap() and unreachable paths with it. PAUSE (F3 90,
# Pentium 4) is REP NOP, which the SDM says earlier processors run as a NOP;
# libstdc++'s RDSEED loops wait with it.
SAME_ON_A_486 = {"ud2", "pause"}

I486 = INTEGER | SYSTEM | I486_ADDITIONS | X87 | SAME_ON_A_486

# Prefixes the 486 knows. Not here: bnd (MPX) and notrack (CET), which objdump
# writes for F2 and 3E before a branch, nor xacquire and xrelease (TSX).
PREFIXES = {"lock", "rep", "repz", "repe", "repnz", "repne", "data16", "addr16",
            "cs", "ds", "es", "fs", "gs", "ss"}

# The registers an i486 has, as objdump names them: general, segment, x87 (st(N)
# is read as st), the control registers CR0, CR2, CR3 (CR4 came with the Pentium),
# the debug registers, the 486's test registers TR3-TR7, and eiz, objdump's name for
# "no index" in a SIB byte. Anything else (mm, xmm, ymm, zmm, k, bnd, cr4, ...) fails.
REGISTERS = set("""
    eax ebx ecx edx esi edi ebp esp ax bx cx dx si di bp sp al ah bl bh cl ch dl dh
    cs ds es fs gs ss st cr0 cr2 cr3 db0 db1 db2 db3 db4 db5 db6 db7
    tr3 tr4 tr5 tr6 tr7 eiz
""".split())

# Names that are i486 instructions only without operands: NOP is 90; "nop" with an
# operand is the P6's long NOP, 0F 1F.
WITHOUT_OPERANDS = {"nop"}

REGISTER = re.compile(r"%([^\s,():]+)")
SYMBOL = re.compile(r"<[^>]*>")


def not_i486(name, operands):
    """Why an instruction (mnemonic without prefixes, operand text) is not an i486
    instruction, or None when it is."""
    if name not in I486:
        return "not an i486 instruction"
    if name in WITHOUT_OPERANDS and operands:
        return "not an i486 instruction with an operand"
    for register in REGISTER.findall(SYMBOL.sub("", operands)):
        if register not in REGISTERS:
            return "%%%s is not an i486 register" % register
    return None
