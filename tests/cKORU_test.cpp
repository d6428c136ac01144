// Machine identity: which line of the OEM file counts, how it splits into codes, what
// a bad file raises, and the exit request.
#include "identity/cKORU.h"

#include <sys/stat.h>

#include <cctype>

#include "support/machine_fixture.h"

namespace {

struct OemCase {
    const char* what;
    std::string file;
    const wchar_t* model;
    const wchar_t* language;
    const wchar_t* recovery;
};

class OemLines : public MachineTest, public ::testing::WithParamInterface<OemCase> {};

TEST_P(OemLines, SplitIntoCodes) {
    SetOem(GetParam().file);
    cKORU koru;
    koru.Collect(true);
    EXPECT_EQ(koru.ModelName(), GetParam().model);
    EXPECT_EQ(koru.Language(), GetParam().language);
    EXPECT_EQ(koru.RecoveryCD(), GetParam().recovery);
}

INSTANTIATE_TEST_SUITE_P(
    Tricky, OemLines,
    ::testing::Values(
        OemCase{"four words", "Model=RDA-K314 FRN W98 RCD1\r\n", L"RDA-K314", L"FRN", L"RCD1"},
        OemCase{"one word", "Model=RDA-K314\r\n", L"RDA-K314", L"", L""},
        OemCase{"three words drop the third", "Model=A B C\r\n", L"A", L"B", L""},
        OemCase{"five words drop the fifth", "Model=A B C D E F\r\n", L"A", L"B", L"D"},
        OemCase{"two blanks step over a word", "Model=RDA-K314  FRN\r\n", L"RDA-K314", L"", L""},
        OemCase{"blank after the equals sign", "Model= RDA-K314 FRN\r\n", L"", L"RDA-K314", L""},
        OemCase{"a tab joins words", "Model=RDA-K314\tFRN\r\n", L"RDA-K314\tFRN", L"", L""},
        OemCase{"trailing blanks only count", "Model=A B C D   \r\n", L"A", L"B", L"D"},
        OemCase{"nothing after Model=", "Model=\r\n", L"", L"", L""},
        OemCase{"nothing trimmed, case kept", "Model=rda-k314 frn\r\n", L"rda-k314", L"frn", L""},
        OemCase{"first matching line wins, others skipped",
                "[General]\r\n\r\nmodel=X Y\r\n Model=X Y\r\nMode\r\nModelName=Q R\r\nModel=A B\r\nModel=C D\r\n",
                L"A", L"B", L""},
        OemCase{"CR alone ends a line", "[General]\rModel=A B\rOther=1\r", L"A", L"B", L""},
        OemCase{"LF alone ends a line", "[General]\nModel=A B\nOther=1\n", L"A", L"B", L""},
        OemCase{"no final line end", "[General]\r\nModel=A B C D", L"A", L"B", L"D"},
        OemCase{"ANSI letters", "Model=K\xC9MO FR\xC9\r\n", L"K\u00c9MO", L"FR\u00c9", L""}),
    [](const auto& tp) {
        std::string n;
        for (char c : std::string(tp.param.what)) n += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return n;
    });

class Identity : public MachineTest {};

TEST_F(Identity, NewObjectIsEmptyAndCollectFalseReadsNothing) {
    cKORU koru;
    koru.Collect(false);
    EXPECT_EQ(koru.ModelName(), L"");
    EXPECT_EQ(koru.Language(), L"");
    EXPECT_EQ(koru.RecoveryCD(), L"");
    EXPECT_TRUE(Calls("OpenFileForReadA").empty());
}

TEST_F(Identity, FailedReadsRaiseAndKeepTheCodesAndCloseTheFile) {
    cKORU koru;
    koru.Collect(true);
    ASSERT_EQ(koru.ModelName(), L"RDA-K314");

    for (const char* noModelLine : {"", "[General]\r\nmodel=RDA-K314 FRN\r\n", "\r\n\r\n"}) {
        SetOem(noModelLine);
        RaisedError e = Raised([&] { koru.Collect(true); });
        EXPECT_EQ(e.Number, 62);
        EXPECT_EQ(e.Description, L"Input past end of file");
        EXPECT_EQ(koru.ModelName(), L"RDA-K314");
        EXPECT_EQ(koru.Language(), L"FRN");
        EXPECT_EQ(koru.RecoveryCD(), L"RCD-K314-FR");
    }
    EXPECT_EQ(Calls("OpenFileForReadA").size(), 4u);
    EXPECT_EQ(Calls("CloseHandle").size(), 4u) << "the file closes on the error path too";

    RemoveOem();
    RaisedError missing = Raised([&] { koru.Collect(true); });
    EXPECT_EQ(missing.Number, 53);
    EXPECT_EQ(missing.Description, L"File not found");

    // A folder where the file should be cannot be read as one.
    ASSERT_EQ(mkdir((folder + "/drive_c/WINDOWS/SYSTEM/OEMINFO.INI").c_str(), 0755), 0);
    EXPECT_EQ(Raised([&] { koru.Collect(true); }).Number, 75);
    EXPECT_EQ(koru.ModelName(), L"RDA-K314");
}

TEST_F(Identity, SecondCollectReplacesAllCodesEvenWithEmptyOnes) {
    cKORU koru;
    koru.Collect(true);
    SetOem("Model=\r\n");
    koru.Collect(true);
    EXPECT_EQ(koru.ModelName(), L"");
    EXPECT_EQ(koru.Language(), L"");
    EXPECT_EQ(koru.RecoveryCD(), L"");
}

TEST_F(Identity, OnlyTheExactWordsAskWindowsToExit) {
    cKORU koru;
    for (const wchar_t* ignored : {L"reboot", L"REBOOT", L"shutdown", L"", L"Restart", L"Reboot "}) koru.ExitWin(ignored);
    EXPECT_TRUE(JournalLines().empty());
    koru.ExitWin(L"Reboot");
    koru.ExitWin(L"Shutdown");
    std::vector<std::string> expected = {"ExitWindowsEx 0x2 0xFFFFFFFF", "ExitWindowsEx 0x1 0xFFFFFFFF"};
    EXPECT_EQ(JournalLines(), expected);
}

}  // namespace
