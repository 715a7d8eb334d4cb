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

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vqtrace-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    if (const char* old = getenv("VQ_CONFIG_DIR")) oldDir_ = old, hadOld_ = true;
    setenv("VQ_CONFIG_DIR", dir_.c_str(), 1);
    vq::ResetTraceForTest();
    vq::SetDebugOutputSink([this](const char* text) { lines_.emplace_back(text); });
  }
  void TearDown() override {
    vq::SetDebugOutputSink(nullptr);
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

// Which keyword and level pass a settings file: every case starts from a
// fresh facility that reads the settings at its first call.
TEST_F(TraceTest, LevelAndKeywordFilter) {
  struct Case {
    std::string settings;
    std::string keyword;
    int level;
    bool passes;
    const char* why;
  } const cases[] = {
      {"Level=2\nKeywords=datamatrix;assert\n", "DataMatrix", 2, true, "an entry, any case"},
      {"Level=2\nKeywords=datamatrix;assert\n", "DataMatrix", 3, false, "above the level"},
      {"Level=2\nKeywords=datamatrix;assert\n", "Assert", 1, true, "the last entry"},
      {"Level=2\nKeywords=datamatrix;assert\n", "Data", 1, false, "part of an entry"},
      {"Level=2\nKeywords=datamatrix;assert\n", "matrix", 1, false, "end of an entry"},
      {"Level=2\nKeywords=datamatrix;assert\n", "", 1, true, "an empty keyword always passes"},
      // The first occurrence that starts an entry decides, a later entry can
      // still let it through.
      {"Level=2\nKeywords=datamatrixx;datamatrix\n", "DataMatrix", 1, true, "a later exact entry"},
      {"Level=2\nKeywords=datamatrixx;datamatrix\n", "DataMatrixX", 1, true, "the first entry"},
      {"Level=2\nKeywords=xdatamatrix;datamatrixx\n", "DataMatrix", 1, false, "inside entries only"},
      {"Level=2\nKeywords=datamatrix; assert\n", "DataMatrix", 1, true, "before the space"},
      {"Level=2\nKeywords=datamatrix; assert\n", "Assert", 1, false, "the space is part of the entry"},
      {"Level=4\n", "Anything", 4, true, "level 4 skips the filter"},
      {"Level=4\n", "Anything", 5, false, "above level 4"},
      {"Level=5\nKeywords=datamatrix\n", "DataMatrix", 5, true, "level 5 filters"},
      {"Level=5\nKeywords=datamatrix\n", "Anything", 1, false, "level 5 filters"},
      {"Level=2\nKeywords=x;" + std::string(200, 'k') + "\n", std::string(250, 'K'), 1, true,
       "keywords compare on their first 200 characters"},
      {"Level=2\nKeywords=x;" + std::string(200, 'k') + "\n", std::string(199, 'k'), 1, false,
       "a keyword shorter than the entry"},
  };
  for (const Case& c : cases) {
    vq::ResetTraceForTest();
    Settings(c.settings);
    EXPECT_EQ(Passes(c.keyword.c_str(), c.level), c.passes) << c.why << ": " << c.keyword;
    if (c.passes) {
      EXPECT_EQ(TraceLevel.load(), c.settings[6] - '0') << c.why;
    }
  }
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
  // 998 characters are no warning.
  vq::ResetTraceForTest();
  Settings("Level=2\nKeywords=" + std::string(994, 'a') + ";kw1\n");
  Trace("kw1", 1, "probe");
  EXPECT_EQ(Take().size(), 1u);
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

// When changed settings are read again: the next read is due the interval
// after the tick count of the last one, across the wrap of the tick count and
// with its top bit set; an interval of 100 or less reads only once.
TEST(TraceRefresh, SettingsAreReadAgainOnlyAfterTheRefreshInterval) {
  struct Case {
    DWORD read;       // tick count of the last read
    int interval;     // RefreshInterval
    DWORD later;      // tick count of a later call
    bool readsAgain;  // whether that call reads the settings
  } const cases[] = {
      {1000, 500, 1000, false},
      {1000, 500, 1499, false},
      {1000, 500, 1501, true},
      {0xFFFFFF00u, 1000, 0x00000010u, false},  // wrapped, but only 272 ms later
      {0xFFFFFF00u, 1000, 0x00000300u, true},
      {0x90000000u, 200, 0x90000000u + 201, true},
      {5000, 100, 900000, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(vq::TraceRefreshDue(c.read, c.interval, c.later), c.readsAgain)
        << std::hex << c.read << " then " << c.later;
  }
}

// A refresh that reads Level=0 switches tracing off (the facility times it with
// the real tick count, so the test waits beyond the interval).
TEST_F(TraceTest, RefreshToLevelZeroSwitchesTracingOff) {
  Settings("Level=2\nKeywords=a\nRefreshInterval=101\n");
  EXPECT_TRUE(Passes("a"));
  Settings("Level=0\n");
  Sleep(150);
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
