// Profile (INI) files: lookup, names, values, defaults, lists, limits.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <string>

#include "ScopedEnv.h"
#include "TempDir.h"
#include "VQKernel.h"

namespace {

// A configuration directory set as $VQ_CONFIG_DIR for the test's lifetime.
class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }
  void Write(const std::string& text, const char* name = "test.ini") {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
  }
  std::string Get(const char* app, const char* key, const char* def = "DEF", DWORD size = 256,
                  DWORD* returned = nullptr, const char* file = "test.ini") {
    std::string buf(size + 16, '\x7f');  // guard bytes after the buffer
    const DWORD n = GetPrivateProfileStringA(app, key, def, buf.data(), size, file);
    if (returned) *returned = n;
    for (size_t i = size; i < buf.size(); ++i) EXPECT_EQ(buf[i], '\x7f') << "written past the buffer";
    return std::string(buf.data(), n);
  }

  TempDir temp_;
  const std::string dir_ = temp_.Path();
  ScopedEnv configDir_{"VQ_CONFIG_DIR", dir_.c_str()};
};

TEST_F(ProfileTest, NamesAreCaseInsensitiveAndBlanksAroundNamesAndValuesAreTrimmed) {
  Write("[VqDebug]\nLevel=2\n  \tKeyWords \t=  data;assert \t\r\n[ Spaced Section ]\nk = v\n");
  EXPECT_EQ(Get("vqdebug", "LEVEL"), "2");
  EXPECT_EQ(Get("VQDEBUG", "keywords"), "data;assert");
  EXPECT_EQ(Get("spaced section", "K"), "v");
  EXPECT_EQ(Get("  VqDebug ", " Level "), "2");
}

TEST_F(ProfileTest, MatchingQuotesAreStrippedOthersKept) {
  Write("[s]\na=\"quoted value \"\nb='single'\nc=\"open\nd=\"mixed'\ne=x ; not a comment\nf=\"\"\n");
  EXPECT_EQ(Get("s", "a"), "quoted value ");
  EXPECT_EQ(Get("s", "b"), "single");
  EXPECT_EQ(Get("s", "c"), "\"open");
  EXPECT_EQ(Get("s", "d"), "\"mixed'");
  EXPECT_EQ(Get("s", "e"), "x ; not a comment");
  EXPECT_EQ(Get("s", "f"), "");
}

TEST_F(ProfileTest, MissingFileSectionOrKeyGiveTheDefaultWithoutTrailingBlanks) {
  Write("[s]\nk=v\nempty=\n");
  EXPECT_EQ(Get("s", "k", "d", 256, nullptr, "missing.ini"), "d");
  EXPECT_EQ(Get("other", "k", "d  \t"), "d");
  EXPECT_EQ(Get("s", "nokey", "  d d  "), "  d d");
  EXPECT_EQ(Get("s", "nokey", nullptr), "");
  EXPECT_EQ(Get("s", "empty", "d"), "") << "a present empty value is not the default";
}

TEST_F(ProfileTest, FirstOccurrenceWins) {
  Write("[s]\nk=first\nK=second\n[S]\nk=third\nonly=later\n");
  EXPECT_EQ(Get("s", "k"), "first");
  EXPECT_EQ(Get("s", "only"), "later") << "a repeated section is searched too";
}

TEST_F(ProfileTest, MalformedLinesAndCommentsAreIgnored) {
  Write("orphan=1\n; [s]\n;k=comment\n[s]\nno equals sign\n=novalue\n[broken\nk=lost\n[s]\nk=kept\r\n");
  EXPECT_EQ(Get("s", "orphan"), "DEF");
  EXPECT_EQ(Get("s", "k"), "kept");
  EXPECT_EQ(Get("broken", "k"), "DEF");
  EXPECT_EQ(Get(nullptr, nullptr), std::string("s\0", 2));
}

TEST_F(ProfileTest, ByteOrderMarkAndCrLfAreHandled) {
  Write("\xEF\xBB\xBF[s]\r\nk=v\r\n");
  EXPECT_EQ(Get("s", "k"), "v");
}

TEST_F(ProfileTest, TooSmallBufferCutsTheValueAndReturnsSizeMinusOne) {
  Write("[s]\nk=abcdefghij\n");
  DWORD n = 0;
  EXPECT_EQ(Get("s", "k", "", 5, &n), "abcd");
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(Get("s", "k", "", 11, &n), "abcdefghij");
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(Get("s", "k", "", 1, &n), "");
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(Get("s", "missing", "defaultvalue", 4, &n), "def");
  EXPECT_EQ(n, 3u);
  char one = 'x';
  EXPECT_EQ(GetPrivateProfileStringA("s", "k", "", &one, 0, "test.ini"), 0u);
  EXPECT_EQ(one, 'x');
}

TEST_F(ProfileTest, NullAppListsSectionsAndNullKeyListsKeys) {
  Write("[one]\na=1\nB=2\na=3\n[two]\n[ONE]\nc=4\n");
  DWORD n = 0;
  std::string list = Get(nullptr, nullptr, "ignored", 256, &n);
  EXPECT_EQ(list, std::string("one\0two\0", 8));
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(Get("One", nullptr, "ignored", 256, &n), std::string("a\0B\0c\0", 6));
  EXPECT_EQ(Get("none", nullptr, "ignored", 256, &n), "");
}

TEST_F(ProfileTest, TooSmallListBufferReturnsSizeMinusTwoWithDoubleTerminator) {
  Write("[alpha]\n[beta]\n[gamma]\n");
  std::string buf(10, 'x');
  const DWORD n = GetPrivateProfileStringA(nullptr, nullptr, "", buf.data(), 10, "test.ini");
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(buf, std::string("alpha\0be\0\0", 10));
  EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "", buf.data(), 2, "test.ini"), 0u);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], '\0');
}

TEST_F(ProfileTest, OverLongLinesAreReadSafely) {
  const std::string longValue(100000, 'v');
  const std::string longKey(5000, 'k');
  Write("[s]\nbig=" + longValue + "\n" + longKey + "=x\nafter=ok\n");
  DWORD n = 0;
  EXPECT_EQ(Get("s", "big", "", 1000, &n), std::string(999, 'v'));
  EXPECT_EQ(n, 999u);
  EXPECT_EQ(Get("s", longKey.c_str()), "x");
  EXPECT_EQ(Get("s", "after"), "ok");
}

TEST_F(ProfileTest, IntegersParseLikeTheSystemParser) {
  Write("[s]\ndec=42\nneg= -7 \nhex=0x1F\nlead=12abc\nword=abc\nempty=\nquoted=\"5\"\nplus=+3\n");
  EXPECT_EQ(GetPrivateProfileIntA("s", "dec", 9, "test.ini"), 42u);
  EXPECT_EQ(static_cast<INT>(GetPrivateProfileIntA("s", "neg", 9, "test.ini")), -7);
  EXPECT_EQ(GetPrivateProfileIntA("s", "hex", 9, "test.ini"), 31u);
  EXPECT_EQ(GetPrivateProfileIntA("s", "lead", 9, "test.ini"), 12u);
  EXPECT_EQ(GetPrivateProfileIntA("s", "word", 9, "test.ini"), 0u);
  EXPECT_EQ(GetPrivateProfileIntA("s", "empty", 9, "test.ini"), 9u);
  EXPECT_EQ(GetPrivateProfileIntA("s", "quoted", 9, "test.ini"), 5u);
  EXPECT_EQ(GetPrivateProfileIntA("s", "plus", 9, "test.ini"), 3u);
  EXPECT_EQ(static_cast<INT>(GetPrivateProfileIntA("s", "missing", -4, "test.ini")), -4);
  EXPECT_EQ(GetPrivateProfileIntA("s", "dec", 9, "missing.ini"), 9u);
}

TEST_F(ProfileTest, FileLookupUsesConfigDirThenXdgThenAPathAsIs) {
  Write("[s]\nk=configdir\n", "where.ini");
  EXPECT_EQ(Get("s", "k", "", 256, nullptr, "where.ini"), "configdir");
  const std::string full = dir_ + "/where.ini";
  EXPECT_EQ(Get("s", "k", "", 256, nullptr, full.c_str()), "configdir");

  ScopedEnv noConfigDir("VQ_CONFIG_DIR", nullptr), xdg("XDG_CONFIG_HOME", dir_.c_str());
  EXPECT_EQ(Get("s", "k", "", 256, nullptr, "where.ini"), "configdir");
  setenv("XDG_CONFIG_HOME", "/nonexistent-vq", 1);
  EXPECT_EQ(Get("s", "k", "none", 256, nullptr, "where.ini"), "none");
}

}  // namespace
