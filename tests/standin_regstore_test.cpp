// The stand-in's registry store: REGEDIT4 reading and writing, names, order, saving.
#include <gtest/gtest.h>

#include "support/host_files.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <dirent.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/standin/faults.h"
#include "platform/standin/regstore/regfile.h"

using namespace standin;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string Parse(const std::string& text, RegStore& store) {
    std::string error;
    if (!ParseRegText(text.data(), text.size(), "test.reg", store, error)) return error;
    return std::string();
}

// Structural equality of two trees: names (exact case), order, types, bytes.
void ExpectSameKey(const RegKey& a, const RegKey& b) {
    ASSERT_EQ(a.Name(), b.Name());
    ASSERT_EQ(a.ValueCount(), b.ValueCount()) << a.FullPath();
    for (std::size_t i = 0; i < a.ValueCount(); ++i) {
        EXPECT_EQ(a.ValueAt(i).name, b.ValueAt(i).name);
        EXPECT_EQ(a.ValueAt(i).type, b.ValueAt(i).type) << a.ValueAt(i).name;
        EXPECT_EQ(a.ValueAt(i).data, b.ValueAt(i).data) << a.ValueAt(i).name;
    }
    ASSERT_EQ(a.SubkeyCount(), b.SubkeyCount()) << a.FullPath();
    for (std::size_t i = 0; i < a.SubkeyCount(); ++i) ExpectSameKey(a.SubkeyAt(i), b.SubkeyAt(i));
}

void ExpectSameStore(const RegStore& a, const RegStore& b) {
    for (int r = 0; r < kRootCount; ++r) {
        ExpectSameKey(a.Root(static_cast<RootId>(r)), b.Root(static_cast<RootId>(r)));
    }
}

}  // namespace

// ---- Value forms ---------------------------------------------------------------------

struct FormCase {
    const char* label;
    platform::DWORD type;
    Bytes data;
    std::string line;  // as written, without CRLF
};

TEST(RegStoreForms, EachValueFormIsWrittenAsRegeditDoesAndReadsBackToTheSameBytes) {
    const std::vector<FormCase> cases = {
        {"text", platform::REG_SZ, B(std::string("abc\0", 4)), "\"v\"=\"abc\""},
        {"empty string", platform::REG_SZ, Bytes{0}, "\"v\"=\"\""},
        {"no terminator", platform::REG_SZ, B("abc"), "\"v\"=hex(1):61,62,63"},
        {"two terminators", platform::REG_SZ, Bytes{'a', 0, 0}, "\"v\"=hex(1):61,00,00"},
        {"embedded zero", platform::REG_SZ, Bytes{'a', 0, 'b', 0}, "\"v\"=hex(1):61,00,62,00"},
        {"CR LF inside", platform::REG_SZ, Bytes{'a', '\r', '\n', 'b', 0},
         "\"v\"=hex(1):61,0d,0a,62,00"},
        {"empty REG_SZ data", platform::REG_SZ, Bytes{}, "\"v\"=hex(1):"},
        {"escapes", platform::REG_SZ, B(std::string("C:\\a \"b\"\0", 9)),
         "\"v\"=\"C:\\\\a \\\"b\\\"\""},
        {"Windows-1252", platform::REG_SZ, Bytes{0xE9, 't', 0xE9, 0}, "\"v\"=\"\xE9t\xE9\""},
        {"dword", platform::REG_DWORD, Bytes{0x0a, 0, 0, 0}, "\"v\"=dword:0000000a"},
        {"dword high bits", platform::REG_DWORD, Bytes{0x78, 0x56, 0x34, 0xf2},
         "\"v\"=dword:f2345678"},
        {"short dword", platform::REG_DWORD, Bytes{1, 2, 3}, "\"v\"=hex(4):01,02,03"},
        {"long dword", platform::REG_DWORD, Bytes{1, 2, 3, 4, 5}, "\"v\"=hex(4):01,02,03,04,05"},
        {"binary with zeros", platform::REG_BINARY, Bytes{0, 0x10, 0, 0xff},
         "\"v\"=hex:00,10,00,ff"},
        {"empty binary", platform::REG_BINARY, Bytes{}, "\"v\"=hex:"},
        {"expand string", platform::REG_EXPAND_SZ, Bytes{'%', 0}, "\"v\"=hex(2):25,00"},
        {"multi string", platform::REG_MULTI_SZ, Bytes{'a', 0, 0}, "\"v\"=hex(7):61,00,00"},
        {"none", platform::REG_NONE, Bytes{}, "\"v\"=hex(0):"},
        {"large type", 0xfedcba98u, Bytes{1}, "\"v\"=hex(fedcba98):01"},
    };
    for (const FormCase& c : cases) {
        SCOPED_TRACE(c.label);
        RegStore store;
        store.Root(RootId::LocalMachine).AppendSubkey("K").AppendValue("v", c.type, c.data);
        const std::string text = store.ToText();
        EXPECT_EQ(text, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE]\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n" +
                            c.line + "\r\n\r\n");
        RegStore back;
        ASSERT_EQ(Parse(text, back), "");
        ExpectSameStore(store, back);
    }
}

TEST(RegStoreForms, NamesAreEscapedAndTheUnnamedValueIsWrittenAsAt) {
    RegStore store;
    RegKey& key = store.Root(RootId::CurrentUser).AppendSubkey("K");
    key.AppendValue("", platform::REG_SZ, Bytes{'d', 0});
    key.AppendValue("@", platform::REG_SZ, Bytes{'e', 0});
    key.AppendValue("a\\\"b", platform::REG_DWORD, Bytes{1, 0, 0, 0});
    const std::string text = store.ToText();
    EXPECT_NE(text.find("\r\n@=\"d\"\r\n\"@\"=\"e\"\r\n\"a\\\\\\\"b\"=dword:00000001\r\n"),
              std::string::npos)
        << text;
    RegStore back;
    ASSERT_EQ(Parse(text, back), "");
    ExpectSameStore(store, back);
}

TEST(RegStoreForms, LongHexListsWrapWithinEightyColumnsAndReadBack) {
    RegStore store;
    Bytes data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    RegKey& key = store.Root(RootId::LocalMachine).AppendSubkey("K");
    key.AppendValue("Blob", platform::REG_BINARY, data);
    key.AppendValue(std::string(120, 'n'), platform::REG_MULTI_SZ, data);
    const std::string text = store.ToText();

    std::size_t continued = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(pos, end - pos);
        if (line.size() > 0 && line.back() == '\\') {
            ++continued;
            EXPECT_EQ(line.substr(line.size() - 2), ",\\");
            // The first line of the long-named value may pass 80 only by its name.
            if (line.compare(0, 2, "\"n") != 0) {
                EXPECT_LE(line.size(), 80u) << line;
            }
            EXPECT_EQ(text.compare(end + 2, 2, "  "), 0);
            EXPECT_NE(text[end + 4], ' ');
        }
        pos = end + 2;
    }
    EXPECT_GT(continued, 70u);
    RegStore back;
    ASSERT_EQ(Parse(text, back), "");
    ExpectSameStore(store, back);
}

// ---- Reading what regedit and people write ----------------------------------------------

TEST(RegStoreRead, AcceptsLfLineEndsCommentsBlanksUppercaseHexAndShortDwords) {
    const std::string text =
        "REGEDIT4\n"
        "; exported by hand\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Enum\\INFRARED]\n"
        "  \"A\" = \"x\"   \n"
        "\"B\"=dword:A\n"
        "\"C\"=HEX:0A,b,\\\n"
        "    FF\n"
        "\"D\"=hex(3):01\n"
        "\"E\"=hex:\\\n"
        "  02\n"
        "\n"
        "[hkey_local_machine\\enum\\infrared\\Framer]\n";
    RegStore store;
    ASSERT_EQ(Parse(text, store), "");
    const RegKey& root = store.Root(RootId::LocalMachine);
    ASSERT_EQ(root.SubkeyCount(), 1u);
    const RegKey& ir = root.SubkeyAt(0).SubkeyAt(0);
    EXPECT_EQ(ir.Name(), "INFRARED");
    ASSERT_EQ(ir.ValueCount(), 5u);
    EXPECT_EQ(ir.ValueAt(0).data, Bytes({'x', 0}));
    EXPECT_EQ(ir.ValueAt(1).data, Bytes({10, 0, 0, 0}));
    EXPECT_EQ(ir.ValueAt(2).data, Bytes({10, 11, 255}));
    EXPECT_EQ(ir.ValueAt(3).type, platform::REG_BINARY);
    EXPECT_EQ(ir.ValueAt(4).data, Bytes({2}));
    ASSERT_EQ(ir.SubkeyCount(), 1u);
    EXPECT_EQ(ir.SubkeyAt(0).Name(), "Framer");
}

TEST(RegStoreRead, TwoSectionsForOneKeyMergeKeepingTheFirstSpellingAndFileOrder) {
    const std::string text =
        "REGEDIT4\r\n\r\n"
        "[HKEY_CURRENT_USER\\Soft]\r\n\"z\"=\"1\"\r\n\r\n"
        "[HKEY_CURRENT_USER\\Other]\r\n\r\n"
        "[HKEY_CURRENT_USER\\SOFT]\r\n\"a\"=\"2\"\r\n\r\n";
    RegStore store;
    ASSERT_EQ(Parse(text, store), "");
    const RegKey& user = store.Root(RootId::CurrentUser);
    ASSERT_EQ(user.SubkeyCount(), 2u);
    EXPECT_EQ(user.SubkeyAt(0).Name(), "Soft");
    EXPECT_EQ(user.SubkeyAt(1).Name(), "Other");
    ASSERT_EQ(user.SubkeyAt(0).ValueCount(), 2u);
    EXPECT_EQ(user.SubkeyAt(0).ValueAt(0).name, "z");
    EXPECT_EQ(user.SubkeyAt(0).ValueAt(1).name, "a");
    // Saved back, the merged key is one section in pre-order.
    EXPECT_EQ(store.ToText(),
              "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER]\r\n\r\n[HKEY_CURRENT_USER\\Soft]\r\n"
              "\"z\"=\"1\"\r\n\"a\"=\"2\"\r\n\r\n[HKEY_CURRENT_USER\\Other]\r\n\r\n");
}

// ---- Names and order ------------------------------------------------------------------

TEST(RegStoreNames, CaseFoldingCoversWindows1252LettersOnly) {
    EXPECT_TRUE(NamesEqual("PortName", "PORTNAME"));
    EXPECT_TRUE(
        NamesEqual("\xC9"
                   "cole",
                   "\xE9"
                   "COLE"));                                          // É / é
    EXPECT_TRUE(NamesEqual("\x8A\x8C\x8E\x9F", "\x9A\x9C\x9E\xFF"));  // Š Œ Ž Ÿ
    EXPECT_TRUE(NamesEqual("\xDE", "\xFE"));                          // Þ / þ
    EXPECT_FALSE(NamesEqual("\xD7", "\xF7"));                         // × and ÷ are not letters
    EXPECT_FALSE(NamesEqual("\xDF", "\xFF"));  // ß has no capital here; Ÿ pairs with ÿ
    EXPECT_FALSE(NamesEqual("@", "`"));
    EXPECT_FALSE(NamesEqual("[", "{"));
    EXPECT_EQ(NameHash("\xC0gal"), NameHash("\xE0GAL"));
}

TEST(RegStoreNames, LookupIgnoresCaseWhileTheFirstSpellingIsKept) {
    RegStore store;
    RegKey& key = store.Root(RootId::LocalMachine).AppendSubkey("\xC9quipement");
    key.AppendValue("PortName", platform::REG_SZ, Bytes{0});
    EXPECT_EQ(store.Root(RootId::LocalMachine).FindSubkey("\xE9QUIPEMENT"), 0u);
    EXPECT_EQ(key.FindValue("portname"), 0u);
    EXPECT_EQ(key.FindValue("PortNam"), NameIndex::npos);
    EXPECT_EQ(key.ValueAt(0).name, "PortName");
}

TEST(RegStoreNames, LargeKeysKeepInsertionOrderAndFindEveryNameThroughRemovals) {
    RegStore store;
    RegKey& key = store.Root(RootId::LocalMachine).AppendSubkey("Big");
    const std::size_t n = 32767;
    for (std::size_t i = 0; i < n; ++i) {
        key.AppendValue("Value" + std::to_string(n - i), platform::REG_DWORD, Bytes{1, 0, 0, 0});
        key.AppendSubkey("Sub" + std::to_string(i % 1000 == 0 ? i : n + i));
    }
    EXPECT_EQ(key.ValueAt(0).name, "Value32767");
    EXPECT_EQ(key.FindValue("VALUE1"), n - 1);
    EXPECT_EQ(key.FindValue("value16384"), n - 16384);
    key.RemoveLastValue();
    EXPECT_EQ(key.FindValue("Value1"), NameIndex::npos);
    EXPECT_EQ(key.FindValue("Value2"), n - 2);

    const std::size_t at = key.FindSubkey("SUB5000");
    ASSERT_EQ(at, 5000u);
    std::unique_ptr<RegKey> taken = key.DetachSubkey(at);
    EXPECT_EQ(key.FindSubkey("Sub5000"), NameIndex::npos);
    EXPECT_EQ(key.FindSubkey("sub" + std::to_string(n + 5001)), 5000u);
    key.InsertSubkey(at, std::move(taken));
    EXPECT_EQ(key.FindSubkey("Sub5000"), 5000u);
    EXPECT_EQ(key.SubkeyAt(5001).Name(), "Sub" + std::to_string(n + 5001));
}

// Small sets are scanned and larger ones get a table: every name must be found (in any
// case) and every absent one missed, across each size where one form turns into the
// other, while values are added and taken off and subkeys taken out and put back.
TEST(RegStoreNames, LookupsHoldAcrossTheSizeWhereTheIndexChangesForm) {
    RegStore store;
    RegKey& key = store.Root(RootId::LocalMachine).AppendSubkey("K");
    auto expectAll = [&](std::size_t values, std::size_t subkeys) {
        ASSERT_EQ(key.ValueCount(), values);
        ASSERT_EQ(key.SubkeyCount(), subkeys);
        for (std::size_t i = 0; i < values; ++i) {
            EXPECT_EQ(key.FindValue("n\xC9" + std::to_string(i)), i) << values;
        }
        EXPECT_EQ(key.FindValue("n\xC9" + std::to_string(values)), NameIndex::npos) << values;
        EXPECT_EQ(key.FindValue("n\xE9"), NameIndex::npos);
        for (std::size_t i = 0; i < subkeys; ++i) {
            EXPECT_EQ(key.FindSubkey(key.SubkeyAt(i).Name()), i);
        }
    };
    const std::size_t top = 2 * NameIndex::kScanLimit + 3;
    for (std::size_t n = 0; n < top; ++n) {
        key.AppendValue("N\xE9" + std::to_string(n), platform::REG_SZ, Bytes{0});
        key.AppendSubkey("S" + std::to_string(n));
        expectAll(n + 1, n + 1);
        if (HasFailure()) return;
    }
    for (std::size_t n = top; n > 0; --n) {
        // Out and back in at the front, the middle and the end, then out for good.
        for (std::size_t at : {std::size_t{0}, (n - 1) / 2, n - 1}) {
            const std::string name = key.SubkeyAt(at).Name();
            std::unique_ptr<RegKey> taken = key.DetachSubkey(at);
            EXPECT_EQ(key.FindSubkey(name), NameIndex::npos) << n;
            for (std::size_t i = 0; i + 1 < n; ++i) EXPECT_EQ(key.FindSubkey(key.SubkeyAt(i).Name()), i);
            key.InsertSubkey(at, std::move(taken));
            EXPECT_EQ(key.FindSubkey(name), at);
        }
        key.DetachSubkey(n - 1);
        key.RemoveLastValue();
        expectAll(n - 1, n - 1);
        if (HasFailure()) return;
    }
}

TEST(RegStoreNames, KeyPathsAreSplitAndCheckedLikeTheRegistryFunctionsNeed) {
    std::vector<std::string_view> parts;
    EXPECT_EQ(SplitKeyPath("Enum\\INFRARED\\Framer", parts), platform::ERROR_SUCCESS);
    EXPECT_EQ(parts.size(), 3u);
    EXPECT_EQ(SplitKeyPath("", parts), platform::ERROR_SUCCESS);
    EXPECT_TRUE(parts.empty());
    EXPECT_EQ(SplitKeyPath("\\Enum", parts), platform::ERROR_BAD_PATHNAME);
    EXPECT_EQ(SplitKeyPath("Enum\\\\X", parts), platform::ERROR_BAD_PATHNAME);
    EXPECT_EQ(SplitKeyPath("Enum\\", parts), platform::ERROR_BAD_PATHNAME);
    EXPECT_EQ(SplitKeyPath(std::string(255, 'k'), parts), platform::ERROR_SUCCESS);
    EXPECT_EQ(SplitKeyPath("a\\" + std::string(256, 'k'), parts),
              platform::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SplitKeyPath("a\nb", parts), platform::ERROR_INVALID_PARAMETER);
}

// ---- Bad input -----------------------------------------------------------------------------

struct BadCase {
    std::string text;
    int line;
    const char* says;
};

TEST(RegStoreErrors, EachKindOfBadInputIsRefusedWithFileLineAndReason) {
    const std::string h = "REGEDIT4\r\n\r\n";
    const std::string k = h + "[HKEY_LOCAL_MACHINE\\K]\r\n";
    const std::vector<BadCase> cases = {
        {"", 1, "missing REGEDIT4 header"},
        {"REGEDIT5\r\n", 1, "missing REGEDIT4 header"},
        {"\r\nREGEDIT4\r\n", 1, "missing REGEDIT4 header"},
        {h + "\"a\"=\"b\"\r\n", 3, "before any [key] section"},
        {h + "[HKEY_LOCAL_MACHIN\\K]\r\n", 3, "unknown root key \"HKEY_LOCAL_MACHIN\""},
        {h + "[HKLM\\K]\r\n", 3, "unknown root key"},
        {h + "[HKEY_LOCAL_MACHINE\\K\r\n", 3, "does not end with ']'"},
        {h + "[HKEY_LOCAL_MACHINE\\\\K]\r\n", 3, "empty key name"},
        {h + "[HKEY_LOCAL_MACHINE\\K\\]\r\n", 3, "empty key name"},
        {h + "[]\r\n", 3, "no key name"},
        {h + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'x') + "]\r\n", 3, "longer than 255"},
        {h + "[-HKEY_LOCAL_MACHINE\\K]\r\n", 3, "[-...] is not supported"},
        {k + "\"a\"=-\r\n", 4, "=- is not supported"},
        {k + "\"a=\"b\"\r\n", 4, "expected '='"},
        {k + "\"a\"=\"b\r\n", 4, "unterminated quote in the value text"},
        {k + "\"a\r\n", 4, "unterminated quote in the value name"},
        {k + "\"a\\q\"=\"b\"\r\n", 4, "unknown escape \\q"},
        {k + "\"a\"=hex:01,0g\r\n", 4, "bad hex digit 'g'"},
        {k + "\"a\"=hex:01,,02\r\n", 4, "bad hex digit ','"},
        {k + "\"a\"=hex:123\r\n", 4, "more than two hex digits"},
        {k + "\"a\"=hex:01,\r\n", 4, "truncated"},
        {k + "\"a\"=hex:01,\\\r\n", 4, "file ends after a line continuation"},
        {k + "\"a\"=hex:01,\\\r\n\"b\"=\"c\"\r\n", 5, "truncated"},
        {k + "\"a\"=hex(2:01\r\n", 4, "bad value type"},
        {k + "\"a\"=hex(123456789):01\r\n", 4, "bad value type"},
        {k + "\"a\"=hex(2)01\r\n", 4, "expected ':'"},
        {k + "\"a\"=dword:12345678 \r\n\"b\"=dword:1234567890\r\n", 5, "bad dword: more than 8"},
        {k + "\"a\"=dword:0000000x\r\n", 4, "bad dword: 'x'"},
        {k + "\"a\"=dword:\r\n", 4, "bad dword"},
        {k + "\"a\"=dwo\r\n", 4, "truncated"},
        {k + "\"a\"=\r\n", 4, "truncated"},
        {k + "\"a\"\r\n", 4, "truncated"},
        {k + "\"a\"=\"b\" x\r\n", 4, "after the value data"},
        {k + "\"a\"=str:\"b\"\r\n", 4, "unknown value data"},
        {k + "\"a\"=\"1\"\r\n\r\n[HKEY_LOCAL_MACHINE\\k]\r\n\"A\"=\"2\"\r\n", 7,
         "value \"A\" is given twice in [HKEY_LOCAL_MACHINE\\K]"},
        {k + "@=\"1\"\r\n@=hex:\r\n", 5, "given twice"},
        {k + "junk\r\n", 4, "unexpected 'j'"},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.text);
        RegStore store;
        const std::string error = Parse(c.text, store);
        EXPECT_NE(error.find("test.reg, line " + std::to_string(c.line) + ": "), std::string::npos)
            << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

TEST(RegStoreErrors, DeepNestingIsRefusedInsteadOfExhaustingTheStack) {
    std::string path = "HKEY_USERS";
    for (std::size_t i = 0; i <= kMaxKeyDepth; ++i) path += "\\k";
    RegStore store;
    const std::string error = Parse("REGEDIT4\r\n[" + path + "]\r\n", store);
    EXPECT_NE(error.find("deeper than"), std::string::npos) << error;
}

TEST(RegStoreErrors, MangledFilesNeverCrashOrHangAndReadAlikeInTinyChunks) {
    const std::string good =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n@=\"x\\\\y\"\r\n\"n\"=dword:00000001\r\n"
        "\"h\"=hex(7):41,00,\\\r\n  42,00,00\r\n\r\n[HKEY_USERS\\.Default]\r\n\"e\"=hex:\r\n";
    // The alphabet's terminating zero is one of the bytes put in, now and then.
    const char alphabet[] = "\\\"[]@=,:()-;\r\n \t0aFx\xE9";
    std::mt19937 random(12345);
    for (int round = 0; round < 20000; ++round) {
        std::string text = good;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = random() % text.size();
            const char c = alphabet[random() % sizeof alphabet];
            switch (random() % 3) {
                case 0: text[at] = c; break;
                case 1: text.erase(at, 1 + random() % 8); break;
                default: text.insert(at, 1, c); break;
            }
            if (text.empty()) text = "R";
        }
        RegStore store;
        std::string error;
        const bool parsed = ParseRegText(text.data(), text.size(), "f.reg", store, error);
        if (parsed) {
            // Whatever was accepted must survive a save and reload unchanged.
            const std::string saved = store.ToText();
            RegStore back;
            ASSERT_EQ(Parse(saved, back), "") << text;
            ExpectSameStore(store, back);
        } else {
            ASSERT_EQ(error.rfind("f.reg, line ", 0), 0u) << error;
        }
        // Three bytes at a time, every line, quote and escape is split between reads.
        RegStore chunked;
        std::string chunkedError;
        ASSERT_EQ(ParseRegText(text.data(), text.size(), "f.reg", chunked, chunkedError, 3), parsed) << text;
        ASSERT_EQ(chunkedError, error) << text;
        if (parsed) {
            ASSERT_EQ(chunked.ToText(), store.ToText()) << text;
        }
    }
}

// ---- Files -----------------------------------------------------------------------------------

class RegStoreFile : public ::testing::Test {
protected:
    RegStore Sample() {
        RegStore store;
        store.Root(RootId::LocalMachine)
            .AppendSubkey("K")
            .AppendValue("v", platform::REG_SZ, Bytes{'1', 0});
        return store;
    }
    TempFolder temp_{"regstore"};
    const std::string& dir_ = temp_.Path();
    const std::string path_ = dir_ + "/registry.reg";
};

TEST_F(RegStoreFile, SaveThenLoadGivesTheSameTreeAndKeepsTheFileMode) {
    WriteHostFile(path_, "REGEDIT4\r\n");
    chmod(path_.c_str(), 0640);
    const RegStore store = Sample();
    std::string error;
    ASSERT_TRUE(SaveRegFile(store, path_, error)) << error;
    EXPECT_EQ(ReadHostFile(path_), store.ToText());
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    RegStore back;
    ASSERT_TRUE(LoadRegFile(path_, back, error)) << error;
    ExpectSameStore(store, back);
    EXPECT_EQ(FolderEntries(dir_).size(), 1u);
}

TEST_F(RegStoreFile, LoadErrorsNameTheFile) {
    RegStore store;
    std::string error;
    EXPECT_FALSE(LoadRegFile(dir_ + "/none.reg", store, error));
    EXPECT_EQ(error, "cannot open the registry file " + dir_ + "/none.reg: No such file or directory");
    EXPECT_FALSE(LoadRegFile(dir_, store, error));
    EXPECT_EQ(error, "cannot read the registry file " + dir_ + ": Is a directory");
    WriteHostFile(path_, "REGEDIT4\r\n\"a\"=\"b\"\r\n");
    EXPECT_FALSE(LoadRegFile(path_, store, error));
    EXPECT_EQ(error.rfind(path_ + ", line 2: ", 0), 0u) << error;
}

TEST_F(RegStoreFile, AFailedRenameLeavesNoTemporaryFileBehind) {
    // A folder in the file's place cannot be replaced by rename.
    ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
    WriteHostFile(path_ + "/keep", "x");
    std::string error;
    bool replaced = true;
    EXPECT_FALSE(SaveRegFile(Sample(), path_, error, &replaced));
    EXPECT_FALSE(replaced);
    EXPECT_EQ(error, "cannot save the registry to " + path_ + ": Is a directory (replacing the old file)");
    EXPECT_EQ(FolderEntries(dir_), std::vector<std::string>{"registry.reg"});
    EXPECT_EQ(ReadHostFile(path_ + "/keep"), "x");
}

TEST_F(RegStoreFile, AFailedWriteKeepsTheOldFileIntact) {
    WriteHostFile(path_, "REGEDIT4\r\n\r\n");
    RegStore big;
    big.Root(RootId::LocalMachine)
        .AppendSubkey("K")
        .AppendValue("v", platform::REG_BINARY, Bytes(100000, 7));
    std::string error;
    bool saved;
    {
        ScopedFileSizeLimit limit(4096);
        saved = SaveRegFile(big, path_, error);
    }
    EXPECT_FALSE(saved);
    EXPECT_NE(error.find("writing the temporary file"), std::string::npos) << error;
    EXPECT_EQ(ReadHostFile(path_), "REGEDIT4\r\n\r\n");
    EXPECT_EQ(FolderEntries(dir_), std::vector<std::string>{"registry.reg"});
}

TEST_F(RegStoreFile, AFolderThatCannotBeWrittenKeepsTheOldFile) {
    // Permissions do not stop root, who runs CI: the folder's refusal is injected.
    WriteHostFile(path_, "REGEDIT4\r\n\r\n");
    standin::InjectFault({"SaveTempFile", std::nullopt, std::nullopt, EACCES, 0, 1});
    std::string error;
    EXPECT_FALSE(SaveRegFile(Sample(), path_, error));
    standin::ClearFaults();
    EXPECT_EQ(error, "cannot save the registry: cannot create a temporary file in " + dir_ + ": Permission denied");
    EXPECT_EQ(ReadHostFile(path_), "REGEDIT4\r\n\r\n");
    EXPECT_EQ(FolderEntries(dir_), std::vector<std::string>{"registry.reg"});
}

// ---- Saving through the buffer ---------------------------------------------------------

namespace {

// A tree whose text is several times the save buffer, with every value form, escapes,
// wrapped hex lists, and single values larger than the buffer on their own.
RegStore BigStore() {
    RegStore store;
    std::mt19937 random(314);
    RegKey& top = store.Root(RootId::LocalMachine).AppendSubkey("Software").AppendSubkey("Big \"one\"");
    for (int k = 0; k < 400; ++k) {
        RegKey& key = top.AppendSubkey("K" + std::to_string(k) + "\xE9");
        key.AppendValue("", platform::REG_SZ, B(std::string("C:\\WINDOWS\\\"x\"") + '\0'));
        for (int v = 0; v < 6; ++v) {
            const std::string name = "v" + std::to_string(v) + (v % 2 ? "\\\"q" : "");
            Bytes data(random() % 90);
            for (auto& b : data) b = static_cast<std::uint8_t>(random());
            const platform::DWORD types[] = {platform::REG_BINARY, platform::REG_DWORD, 7, 0x12345678};
            key.AppendValue(name, types[v % 4], data);
        }
        key.AppendSubkey("Sub").AppendValue("d", platform::REG_DWORD, Bytes{1, 2, 3, 4});
    }
    RegKey& huge = store.Root(RootId::Users).AppendSubkey(".DEFAULT");
    huge.AppendValue("bin", platform::REG_BINARY, Bytes(3 * kSaveBufferSize + 7, 0xA5));
    huge.AppendValue("text", platform::REG_SZ, B(std::string(kSaveBufferSize + 3, '\\') + '\0'));
    return store;
}

std::string BigStoreText() { return BigStore().ToText(); }

std::string g_tempSeenAt[3];
std::string g_watchedFolder;

// Keeps the temporary file's bytes as they are at each stage of a save.
void WatchTemporary(SaveStage stage) {
    for (const std::string& n : FolderEntries(g_watchedFolder)) {
        if (n.rfind(".registry.reg.", 0) == 0) {
            g_tempSeenAt[static_cast<int>(stage)] = ReadHostFile(g_watchedFolder + "/" + n);
        }
    }
    if (stage == SaveStage::Replaced) g_tempSeenAt[2] = ReadHostFile(g_watchedFolder + "/registry.reg");
}

}  // namespace

TEST_F(RegStoreFile, ASaveLargerThanItsBufferWritesTheTextByteForByte) {
    const RegStore store = BigStore();
    const std::string text = store.ToText();
    ASSERT_GT(text.size(), 6 * kSaveBufferSize);
    std::string error;
    ASSERT_TRUE(SaveRegFile(store, path_, error)) << error;
    EXPECT_TRUE(ReadHostFile(path_) == text) << "the saved bytes differ from ToText";
    RegStore back;
    ASSERT_TRUE(LoadRegFile(path_, back, error)) << error;
    ExpectSameStore(store, back);
    EXPECT_EQ(FolderEntries(dir_), std::vector<std::string>{"registry.reg"});
}

TEST_F(RegStoreFile, TheCrashCheckSeesExactlyHalfTheTextThenAllOfIt) {
    const RegStore store = BigStore();
    const std::string text = store.ToText();
    WriteHostFile(path_, "REGEDIT4\r\n\r\n");
    g_watchedFolder = dir_;
    for (std::string& seen : g_tempSeenAt) seen = "(not seen)";
    SetSaveObserver(WatchTemporary);
    std::string error;
    const bool saved = SaveRegFile(store, path_, error);
    SetSaveObserver(nullptr);
    ASSERT_TRUE(saved) << error;
    EXPECT_TRUE(g_tempSeenAt[static_cast<int>(SaveStage::TempPartlyWritten)] == text.substr(0, text.size() / 2))
        << "size at the first stop: " << g_tempSeenAt[0].size() << " of " << text.size();
    EXPECT_TRUE(g_tempSeenAt[static_cast<int>(SaveStage::TempComplete)] == text);
    EXPECT_TRUE(g_tempSeenAt[static_cast<int>(SaveStage::Replaced)] == text);
    EXPECT_TRUE(ReadHostFile(path_) == text);

    // A small tree, whose half falls inside the first buffer, stops at its half too.
    const RegStore small = Sample();
    const std::string smallText = small.ToText();
    SetSaveObserver(WatchTemporary);
    ASSERT_TRUE(SaveRegFile(small, path_, error)) << error;
    SetSaveObserver(nullptr);
    EXPECT_EQ(g_tempSeenAt[0], smallText.substr(0, smallText.size() / 2));
    EXPECT_EQ(ReadHostFile(path_), smallText);
}

// ---- Reading a chunk at a time -----------------------------------------------------------

namespace {

// A text, and how reading it must end: accepted (line 0), or refused at `line` with a
// message holding `says`.
struct ChunkCase {
    std::string text;
    int line;
    const char* says;
};

}  // namespace

// The reader takes its text a chunk at a time, from a file or from memory alike. Each
// chunk size puts boundaries inside quoted strings and escapes, between CR and LF,
// inside hex lists and right after a continuation's backslash: every verdict, message
// and tree must be the same, and a NUL is reported first wherever it stands.
TEST(RegStoreChunks, EveryChunkBoundaryGivesTheSameVerdictMessageAndTree) {
    const std::string h = "REGEDIT4\r\n\r\n";
    const std::string k = h + "[HKEY_LOCAL_MACHINE\\K]\r\n";
    const std::string good =  // 16 lines
        h + "[HKEY_LOCAL_MACHINE\\Software\\A \"b\"]\r\n@=\"x\\\\y \\\"z\\\" long enough to cross\"\r\n"
            "\"na\\\"me\"=dword:0000abcd\r\n"
            "\"h\"=hex(7):41,00,42,00,43,00,44,00,45,00,46,00,47,00,48,00,49,00,4a,00,4b,00,4c,\\\r\n"
            "  4d,00,00,00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\A \"b\"\\Sub]\n\"lf\"=\"only\"\n\n"
            ";comment\r\n[HKEY_USERS\\.Default]\r\n\"e\"=hex:\r\n\"b\"=hex:01,02,\\\n  03\r\n";
    const std::string nul(1, '\0');
    const std::vector<ChunkCase> cases = {
        {good, 0, ""},
        {"", 1, "missing REGEDIT4 header"},
        {"REGEDIT4", 0, ""},
        {"REGEDIT4\r", 0, ""},
        {"REGEDIT4\r\n", 0, ""},
        {"REGEDIT4\r\n" + nul, 2, "byte 0x00 (NUL)"},
        {h + "\"a\"=\"b\"\r\n", 3, "before any [key] section header"},
        {k + "\"a\"=\"b\r\n", 4, "unterminated quote in the value text"},
        {k + "\"a\\q\"=\"b\"\r\n", 4, "unknown escape \\q"},
        {k + "\"a\"=hex:01,\\\r\n", 4, "the file ends after a line continuation"},
        {k + "\"a\"=hex:01,\\\r\n\"b\"=\"c\"\r\n", 5, "does not carry on the hex list"},
        {k + "\"a\"=hex:01,02", 4, "the file ends inside it"},
        {k + "\"a\"=dword:12345678\r", 4, "the file ends inside it"},
        {k + "\"a\"=\"1\"\r\n\r\n[HKEY_LOCAL_MACHINE\\k]\r\n\"A\"=\"2\"\r\n", 7, "is given twice"},
        // A NUL wins over a syntax fault before it, and is placed at its own line.
        {k + "junk\r\n\"a\"=\"b\"\r\n" + nul + "\r\n", 6, "byte 0x00 (NUL)"},
        {k + "\"a\"=hex:01,\\\r\n  0" + nul + "\r\n", 5, "byte 0x00 (NUL)"},
        {good + nul + nul + nul, 17, "byte 0x00 (NUL)"},
        {nul + good, 1, "byte 0x00 (NUL)"},
        // A syntax fault in the last line, after a run of good ones.
        {good + "\"x\"=\"y\" z\r\n", 17, "unexpected 'z' after the value data"},
        {k + "\"long\"=\"" + std::string(10000, 'q') + "\"\r\n", 0, ""},
    };
    for (const ChunkCase& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 200));
        RegStore whole;
        const std::string error = Parse(c.text, whole);
        if (c.line == 0) {
            ASSERT_EQ(error, "");
        } else {
            EXPECT_EQ(error.rfind("test.reg, line " + std::to_string(c.line) + ": ", 0), 0u) << error;
            EXPECT_NE(error.find(c.says), std::string::npos) << error;
        }
        for (std::size_t chunk : {1, 2, 3, 4, 5, 7, 8, 13, 64, 4096}) {
            SCOPED_TRACE("chunk " + std::to_string(chunk));
            RegStore store;
            std::string chunkError;
            ASSERT_EQ(ParseRegText(c.text.data(), c.text.size(), "test.reg", store, chunkError, chunk), c.line == 0);
            ASSERT_EQ(chunkError, error);
            if (c.line == 0) {
                ASSERT_EQ(store.ToText(), whole.ToText());
            }
        }
    }
}

TEST_F(RegStoreFile, AFileLargerThanTheChunkLoadsBackToTheTextSavedInIt) {
    const std::string text = BigStoreText();
    ASSERT_GT(text.size(), 4 * kLoadChunkSize);
    WriteHostFile(path_, text);
    for (std::size_t chunk : {kLoadChunkSize, std::size_t{4096}, std::size_t{1000}}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        RegStore loaded;
        std::string error;
        ASSERT_TRUE(LoadRegFile(path_, loaded, error, chunk)) << error;
        EXPECT_TRUE(loaded.ToText() == text) << "the loaded tree saves as other text";
    }
}
