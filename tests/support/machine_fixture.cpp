#include "support/machine_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/standin/faults.h"
#include "platform/standin/machine.h"
#include "platform/standin/terminal.h"
#include "platform/text.h"

using namespace platform;

const char* const kSampleRegistry =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\BIOS]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0C01]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0C01\\0C]\r\n"
    "\"Class\"=\"System\"\r\n"
    "\"ConfigFlags\"=hex:00,00,00,00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0510\\0D]\r\n"
    "\"DeviceDesc\"=\"\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ACPI]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\ACPI\\*KMO7001\\0]\r\n"
    "\"DeviceDesc\"=\"\"\r\n"
    "\"ConfigFlags\"=hex:20,00,00,00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum\\Root\\*PNP0C08\\0000]\r\n"
    "\"Class\"=\"System\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\SessionManager\\Known16DLLs]\r\n"
    "\"mmsystem.dll\"=\"mmsystem.dll\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VxD\\Winsock]\r\n"
    "\"StaticVxD\"=\"wsock.vxd\"\r\n"
    "\"Start\"=hex:00\r\n\r\n"
    "[HKEY_CURRENT_USER\\Control Panel\\International]\r\n"
    "\"Locale\"=\"0000040C\"\r\n\r\n";

const char* const kK314Oem =
    "[General]\r\nManufacturer=Kemo\r\nModel=RDA-K314 FRN W98SE RCD-K314-FR\r\n\r\n[Support Information]\r\nLine1=Kemo\r\n";

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

std::string Bytes(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes) out += static_cast<char>(b);
    return out;
}

namespace {

void SnapKey(HKEY parent, const std::string& path, Snapshot& snap) {
    HKEY h = 0;
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, &h) != ERROR_SUCCESS)
        return;
    if (!path.empty()) snap.keys.insert(path);
    std::vector<char> name(1024);
    std::vector<BYTE> data(1 << 20);
    for (DWORD i = 0;; ++i) {
        DWORD cch = static_cast<DWORD>(name.size()), cb = static_cast<DWORD>(data.size()), type = 0;
        if (RegEnumValueA(h, i, name.data(), &cch, nullptr, &type, data.data(), &cb) != ERROR_SUCCESS) break;
        snap.values[path + "|" + std::string(name.data(), cch)] =
            RegValue{type, std::string(reinterpret_cast<char*>(data.data()), cb)};
    }
    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
        if (RegEnumKeyA(h, i, name.data(), static_cast<DWORD>(name.size())) != ERROR_SUCCESS) break;
        subkeys.emplace_back(name.data());
    }
    RegCloseKey(h);
    for (const auto& sub : subkeys) SnapKey(parent, path.empty() ? sub : path + "\\" + sub, snap);
}

}  // namespace

Snapshot Snap(HKEY root) {
    Snapshot snap;
    SnapKey(root, "", snap);
    return snap;
}

std::optional<RegValue> ReadValue(HKEY root, const std::string& path, const std::string& name) {
    HKEY h = 0;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return std::nullopt;
    std::vector<BYTE> data(1 << 20);
    DWORD cb = static_cast<DWORD>(data.size()), type = 0;
    LONG status = RegQueryValueExA(h, name.c_str(), nullptr, &type, data.data(), &cb);
    RegCloseKey(h);
    if (status != ERROR_SUCCESS) return std::nullopt;
    return RegValue{type, std::string(reinterpret_cast<char*>(data.data()), cb)};
}

bool KeyPresent(HKEY root, const std::string& path) {
    HKEY h = 0;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

void MachineTest::SetUp() {
    temp_ = std::make_unique<TempFolder>("test");
    folder = temp_->Path();
    MakeMachine(folder, kSampleRegistry);
    SetOem(kK314Oem);
    standin::SetInteractive(false);
    standin::ClearFaults();
    // The tests read the call log; the program leaves it off.
    standin::SetCallLogging(true);
    std::string error;
    ASSERT_TRUE(standin::OpenMachine(folder, error)) << error;
    standin::ClearCallLog();
}

void MachineTest::TearDown() {
    standin::CloseMachine();
    standin::ClearFaults();
    standin::ClearCallLog();
    standin::SetCallLogging(false);
    temp_.reset();
}

void MachineTest::Load(const std::string& registryText) {
    standin::CloseMachine();
    WriteHostFile(folder + "/registry.reg", registryText);
    std::string error;
    ASSERT_TRUE(standin::OpenMachine(folder, error)) << error;
    standin::ClearCallLog();
}

void MachineTest::SetOem(const std::string& content) { WriteHostFile(OemFile(folder), content); }
void MachineTest::RemoveOem() { unlink(OemFile(folder).c_str()); }

std::vector<std::string> MachineTest::JournalLines() const {
    std::vector<std::string> lines;
    std::string all = ReadHostFile(folder + "/journal.txt");
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string MachineTest::RegistryFileBytes() const { return ReadHostFile(folder + "/registry.reg"); }

std::vector<std::string> MachineTest::Calls(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& c : standin::CallLog())
        if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
}

int RunExe(const std::string& machineFolder, std::string* output, const std::string& extraEnv,
           const std::string& redirect) {
    std::string outFile = machineFolder + ".out";
    std::string cmd = "IRPATCH_MACHINE='" + machineFolder + "' " + extraEnv + " '" IRPATCH_EXE "' </dev/null >'" +
                      outFile + "' 2>&1 " + redirect;
    int rc = std::system(cmd.c_str());
    if (output) *output = ReadHostFile(outFile);
    unlink(outFile.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

RaisedError Raised(const std::function<void()>& f) {
    try {
        f();
    } catch (const RaisedError& e) {
        return e;
    }
    ADD_FAILURE() << "no error was raised";
    return RaisedError(0, L"", L"");
}

std::string U8(const std::wstring& text) { return ToUtf8(text); }
