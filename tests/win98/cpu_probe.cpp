// A program the CPU audit must fail when it is built for the Pentium Pro on the
// stock runtime (see CMakeLists.txt): its start-up code and the string functions it
// calls hold CMOV instructions.
#include <string>

// Code no i486 runs that a list of forbidden instructions would miss; the audit
// must report each at the function's address. Naked, so that the instruction is
// the function's first; never called.
extern "C" {
// XTEST, of Intel's TSX (2013).
__attribute__((naked, used)) void probe_xtest() { __asm__("xtest\n\tret"); }
// 0F 04, an opcode no x86 defines: objdump writes "(bad)".
__attribute__((naked, used)) void probe_reserved() { __asm__(".byte 0x0f, 0x04\n\tret"); }
// ld's PE script puts .gnu.linkonce.t.* in .text: code the audit must read too.
__attribute__((naked, used, section(".gnu.linkonce.t.probe_linkonce"))) void probe_linkonce() {
    __asm__("rdpid %eax\n\tret");
}
// The same script puts .gcc_exc in .text; nothing says it is data.
__attribute__((used, section(".gcc_exc"))) int probe_stray = 0x90909090;
}

int main(int argc, char** argv) {
    std::string name(argc > 0 ? argv[0] : "");
    return static_cast<int>(name.substr(name.find_last_of('\\') + 1).size() % 2);
}
