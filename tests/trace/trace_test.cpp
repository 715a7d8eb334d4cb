// The trace facility: settings, refresh, filters, line formats, limits and
// threads. Each test starts from a fresh facility, its own settings directory
// and an in-process sink that collects every output.
#include "trace/VQTrace.h"

#include <stdlib.h>

#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

DWORD g_fakeTicks = 0;
DWORD FakeTicks() { return g_fakeTicks; }

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vqtrace-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    if (const char* old = getenv("VQ_CONFIG_DIR")) oldDir_ = old, hadOld_ = true;
    setenv("VQ_CONFIG_DIR", dir_.c_str(), 1);
    vq::ResetTraceForTest();
    vq::SetTraceTickSourceForTest(nullptr);
    vq::SetDebugOutputSink([this](const char* text) { lines_.emplace_back(text); });
  }
  void TearDown() override {
    vq::SetDebugOutputSink(nullptr);
    vq::SetTraceTickSourceForTest(nullptr);
    vq::ResetTraceForTest();
    if (hadOld_)
      setenv("VQ_CONFIG_DIR", oldDir_.c_str(), 1);
    else
      unsetenv("VQ_CONFIG_DIR");
    (void)!system(("rm -rf '" + dir_ + "'").c_str());
  }
  void Settings(const std::string& body) { std::ofstream(dir_ + "/Orvex.ini") << "[VqDebug]\n" << body; }
  // Outputs collected since the last call.
  std::vector<std::string> Take() {
    std::vector<std::string> taken;
    taken.swap(lines_);
    return taken;
  }
  // Traces one message with a fixed origin.
  void Trace(const char* keyword, int level, const char* message) {
    if (TraceLevel.load() == 0) return;
    SetTraceOrigin("/src/matrix/VQDataMatrix.cpp", "CVQDataMatrix::Write", 77);
    VQTrace(keyword, level, "%s", message);
  }
  bool Passes(const char* keyword, int level = 1) {
    Take();
    Trace(keyword, level, "probe");
    return !Take().empty();
  }

  std::string dir_, oldDir_;
  bool hadOld_ = false;
  std::vector<std::string> lines_;
};

TEST_F(TraceTest, WithoutSettingsTheFirstCallSwitchesTracingOffForGood) {
  EXPECT_EQ(TraceLevel.load(), 119);
  VQ_TRACE("F::G", "DataMatrix", 1, "first %d", 1);
  EXPECT_EQ(TraceLevel.load(), 0);
  EXPECT_TRUE(Take().empty());
  // Settings written later are never read: callers no longer call in.
  Settings("Level=4\nRefreshInterval=200\n");
  VQ_TRACE("F::G", "DataMatrix", 1, "second");
  EXPECT_EQ(TraceLevel.load(), 0);
  EXPECT_TRUE(Take().empty());
}

TEST_F(TraceTest, LevelAndKeywordFilter) {
  Settings("Level=2\nKeywords=datamatrix;assert\n");
  EXPECT_TRUE(Passes("DataMatrix", 2));
  EXPECT_EQ(TraceLevel.load(), 2);
  EXPECT_FALSE(Passes("DataMatrix", 3));
  EXPECT_TRUE(Passes("Assert", 1));
  EXPECT_TRUE(Passes("Datamatrix", 2));
  EXPECT_FALSE(Passes("Data", 1)) << "part of an entry";
  EXPECT_FALSE(Passes("matrix", 1)) << "end of an entry";
  EXPECT_TRUE(Passes("", 1)) << "an empty keyword always passes";
}

TEST_F(TraceTest, KeywordPassesThroughALaterEntryAfterARejectedOccurrence) {
  Settings("Level=2\nKeywords=datamatrixx;datamatrix\n");
  EXPECT_TRUE(Passes("DataMatrix"));
  EXPECT_TRUE(Passes("DataMatrixX"));
  Settings("Level=2\nKeywords=xdatamatrix;datamatrixx\n");
  vq::ResetTraceForTest();
  EXPECT_FALSE(Passes("DataMatrix"));
}

TEST_F(TraceTest, SpaceAfterTheSeparatorIsPartOfTheEntry) {
  Settings("Level=2\nKeywords=datamatrix; assert\n");
  EXPECT_TRUE(Passes("DataMatrix"));
  EXPECT_FALSE(Passes("Assert"));
}

TEST_F(TraceTest, LevelFourSkipsTheKeywordFilterLevelFiveDoesNot) {
  Settings("Level=4\n");
  EXPECT_TRUE(Passes("Anything", 4));
  EXPECT_FALSE(Passes("Anything", 5));
  Settings("Level=5\nKeywords=datamatrix\n");
  vq::ResetTraceForTest();
  EXPECT_TRUE(Passes("DataMatrix", 5));
  EXPECT_FALSE(Passes("Anything", 1));
}

TEST_F(TraceTest, TheFourLineFormats) {
  struct Case {
    const char* settings;
    const char* line;
  } const cases[] = {
      {"", "msg 7 'DataMatrix' Origin: VQDataMatrix.cpp\\CVQDataMatrix::Write(77)\r\n"},
      {"FileFunctionLineInTrace=0\n", "msg 7   'DataMatrix'\r\n"},
      {"KeywordInTrace=0\n", "msg 7    Origin: VQDataMatrix.cpp\\CVQDataMatrix::Write(77)\r\n"},
      {"KeywordInTrace=0\nFileFunctionLineInTrace=0\n", "msg 7\r\n"},
      {"KeywordInTrace=2\nFileFunctionLineInTrace=-1\n", "msg 7\r\n"},  // only 1 means on
      {"KeywordInTrace=01\nFileFunctionLineInTrace=1\n",
       "msg 7 'DataMatrix' Origin: VQDataMatrix.cpp\\CVQDataMatrix::Write(77)\r\n"},
  };
  for (const Case& c : cases) {
    vq::ResetTraceForTest();
    Settings(std::string("Level=2\nKeywords=datamatrix\n") + c.settings);
    VQTrace("DataMatrix", 1, "first call reads the settings");
    Take();
    SetTraceOrigin("/src/matrix/VQDataMatrix.cpp", "CVQDataMatrix::Write", 77);
    VQTrace("DataMatrix", 2, "msg %d", 7);
    const auto out = Take();
    ASSERT_EQ(out.size(), 1u) << c.settings;
    EXPECT_EQ(out[0], c.line) << c.settings;
  }
}

TEST_F(TraceTest, MacroRecordsThisFileAndLine) {
  Settings("Level=2\nKeywords=datamatrix\n");
  const int line = __LINE__ + 1;
  VQ_TRACE("Suite::Case", "DataMatrix", 2, "value=%u", 5u);
  const auto out = Take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], "value=5 'DataMatrix' Origin: trace_test.cpp\\Suite::Case(" + std::to_string(line) + ")\r\n");
}

TEST_F(TraceTest, OverLongKeywordListWarnsAndOnlyItsFirst999CharactersCount) {
  const std::string head(995, 'a');
  const std::string list = head + ";kw1;kw2";  // "kw1" ends at character 999
  Settings("Level=2\nKeywords=" + list + "\n");
  Trace("kw1", 1, "probe");
  const auto out = Take();
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0],
            "VQDebug::VQTrace() : Warning, user-defined keyword list too long. The following keywords were "
            "read:\r\n");
  EXPECT_EQ(out[1], list.substr(0, 999));
  EXPECT_EQ(out[2], "\r\n");
  EXPECT_EQ(out[3].substr(0, 6), "probe ");
  EXPECT_FALSE(Passes("kw2"));
}

TEST_F(TraceTest, ListOf998CharactersGivesNoWarning) {
  Settings("Level=2\nKeywords=" + std::string(994, 'a') + ";kw1\n");
  Trace("kw1", 1, "probe");
  EXPECT_EQ(Take().size(), 1u);
}

TEST_F(TraceTest, KeywordsAreComparedOnTheirFirst200Characters) {
  Settings("Level=2\nKeywords=x;" + std::string(200, 'k') + "\n");
  EXPECT_TRUE(Passes(std::string(250, 'K').c_str()));
  EXPECT_FALSE(Passes(std::string(199, 'k').c_str()));
}

TEST_F(TraceTest, MessagesAreCutAt499AndLinesAt1051StillEndingTheLine) {
  Settings("Level=4\nKeywordInTrace=0\nFileFunctionLineInTrace=0\n");
  Trace("k", 1, std::string(600, 'm').c_str());
  auto out = Take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], std::string(499, 'm') + "\r\n");

  Settings("Level=4\n");
  vq::ResetTraceForTest();
  const std::string keyword(3000, 'w');
  Trace(keyword.c_str(), 1, "m");
  out = Take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].size(), 1051u);
  EXPECT_EQ(out[0].substr(0, 4), "m 'w");
  EXPECT_EQ(out[0].substr(1049), "\r\n");
}

TEST_F(TraceTest, OriginNamesAreCutAt259Characters) {
  Settings("Level=4\nKeywordInTrace=0\n");
  VQTrace("k", 1, "read settings");
  Take();
  const std::string file(400, 'f'), function(400, 'g');
  SetTraceOrigin(file.c_str(), function.c_str(), 3);
  VQTrace("k", 1, "m");
  const auto out = Take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], "m    Origin: " + std::string(259, 'f') + "\\" + std::string(259, 'g') + "(3)\r\n");
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
TEST_F(TraceTest, NullKeywordOrFormatGivesTheIllegalParameterLineOnly) {
  Settings("Level=4\n");
  SetTraceOrigin("dir/here.cpp", "F", 12);
  const char* noFormat = nullptr;
  const char* noKeyword = nullptr;
  VQTrace("k", 1, noFormat);
  VQTrace(noKeyword, 1, "x");
  const auto out = Take();
  ASSERT_EQ(out.size(), 2u);
  for (const std::string& line : out) {
    EXPECT_EQ(line.rfind("Illegal parameter to VQTrace() : kw = ", 0), 0u) << line;
    EXPECT_NE(line.find(", format = "), std::string::npos) << line;
    const std::string tail = " from here.cpp(12)\r\n";
    ASSERT_GT(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
  }
  EXPECT_EQ(TraceLevel.load(), 119) << "an illegal call reads no settings";
}
#pragma GCC diagnostic pop

TEST_F(TraceTest, SettingsAreReadAgainOnlyAfterTheRefreshInterval) {
  vq::SetTraceTickSourceForTest(FakeTicks);
  g_fakeTicks = 1000;
  Settings("Level=2\nKeywords=a\nRefreshInterval=500\n");
  EXPECT_TRUE(Passes("a"));  // read at 1000: next read after 1500
  Settings("Level=2\nKeywords=b\nRefreshInterval=500\n");
  EXPECT_FALSE(Passes("b"));
  g_fakeTicks = 1499;
  EXPECT_FALSE(Passes("b"));
  g_fakeTicks = 1501;
  EXPECT_TRUE(Passes("b"));
  EXPECT_FALSE(Passes("a"));
}

TEST_F(TraceTest, RefreshTimingSurvivesTheTickCountWrap) {
  vq::SetTraceTickSourceForTest(FakeTicks);
  g_fakeTicks = 0xFFFFFF00u;
  Settings("Level=2\nKeywords=a\nRefreshInterval=1000\n");
  EXPECT_TRUE(Passes("a"));  // next read after 0xFFFFFF00 + 1000, wrapped
  Settings("Level=2\nKeywords=b\nRefreshInterval=1000\n");
  g_fakeTicks = 0x00000010u;  // wrapped, but only 272 ms later
  EXPECT_FALSE(Passes("b"));
  g_fakeTicks = 0x00000300u;
  EXPECT_TRUE(Passes("b"));
}

TEST_F(TraceTest, RefreshWorksWhenTheTickCountHasItsTopBitSet) {
  vq::SetTraceTickSourceForTest(FakeTicks);
  g_fakeTicks = 0x90000000u;
  Settings("Level=2\nKeywords=a\nRefreshInterval=200\n");
  EXPECT_TRUE(Passes("a"));
  Settings("Level=2\nKeywords=b\nRefreshInterval=200\n");
  g_fakeTicks = 0x90000000u + 201;
  EXPECT_TRUE(Passes("b"));
}

TEST_F(TraceTest, IntervalOf100OrLessReadsOnce) {
  vq::SetTraceTickSourceForTest(FakeTicks);
  g_fakeTicks = 5000;
  Settings("Level=2\nKeywords=a\nRefreshInterval=100\n");
  EXPECT_TRUE(Passes("a"));
  Settings("Level=2\nKeywords=b\nRefreshInterval=100\n");
  g_fakeTicks = 900000;
  EXPECT_FALSE(Passes("b"));
  EXPECT_TRUE(Passes("a"));
}

TEST_F(TraceTest, RefreshToLevelZeroSwitchesTracingOff) {
  vq::SetTraceTickSourceForTest(FakeTicks);
  g_fakeTicks = 10;
  Settings("Level=2\nKeywords=a\nRefreshInterval=200\n");
  EXPECT_TRUE(Passes("a"));
  Settings("Level=0\n");
  g_fakeTicks = 211;
  EXPECT_FALSE(Passes("a"));
  EXPECT_EQ(TraceLevel.load(), 0);
}

TEST_F(TraceTest, EachLineCarriesItsOwnThreadsOrigin) {
  Settings("Level=4\nKeywordInTrace=0\nRefreshInterval=101\n");  // refreshes while threads trace
  std::mutex lock;
  std::vector<std::string> seen;
  vq::SetDebugOutputSink([&](const char* text) {
    std::lock_guard<std::mutex> guard(lock);
    seen.emplace_back(text);
  });
  auto work = [](const char* function, const char* message) {
    for (int i = 0; i < 2000; ++i) VQ_TRACE(function, "k", 1, "%s", message);
  };
  std::thread a(work, "ThreadA::Run", "from A");
  std::thread b(work, "ThreadB::Run", "from B");
  a.join();
  b.join();
  vq::SetDebugOutputSink(nullptr);
  ASSERT_EQ(seen.size(), 4000u);
  for (const std::string& line : seen) {
    const char who = line[5];
    EXPECT_NE(line.find(std::string("Origin: trace_test.cpp\\Thread") + who + "::Run("), std::string::npos)
        << line;
  }
}

}  // namespace
