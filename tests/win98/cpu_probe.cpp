// A program the CPU audit must fail when it is built for the Pentium Pro on the
// stock runtime (see CMakeLists.txt): its start-up code and the string functions it
// calls hold CMOV instructions.
#include <string>

int main(int argc, char** argv) {
    std::string name(argc > 0 ? argv[0] : "");
    return static_cast<int>(name.substr(name.find_last_of('\\') + 1).size() % 2);
}
