// TraceCapture.h - collects the trace lines of a test.
//
// While a TraceCapture lives, tracing is on at Level 4 (every keyword, every
// level up to 4) with settings from a private temporary Orvex.ini, and every
// line goes to the capture instead of standard error. The destructor puts the
// trace facility back to its start state and removes the settings file.
// Lines may arrive from any thread.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "VQPlatform.h"
#include "trace/VQTrace.h"

namespace vq::test {

class TraceCapture {
 public:
  explicit TraceCapture(int level = 4, const char* keywords = "") {
    char pattern[] = "/tmp/vqtraceXXXXXX";
    if (mkdtemp(pattern) != nullptr) m_Dir = pattern;
    std::ofstream ini(m_Dir + "/Orvex.ini");
    ini << "[VqDebug]\nLevel=" << level << "\nKeywords=" << keywords
        << "\nKeywordInTrace=1\nFileFunctionLineInTrace=1\n";
    ini.close();
    const char* old = std::getenv("VQ_CONFIG_DIR");
    if (old != nullptr) m_OldDir = old, m_HadOldDir = true;
    setenv("VQ_CONFIG_DIR", m_Dir.c_str(), 1);
    vq::SetDebugOutputSink([this](const char* text) {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Lines.emplace_back(text);
    });
    vq::ResetTraceForTest();
  }
  ~TraceCapture() {
    vq::SetDebugOutputSink(nullptr);
    if (m_HadOldDir) {
      setenv("VQ_CONFIG_DIR", m_OldDir.c_str(), 1);
    } else {
      unsetenv("VQ_CONFIG_DIR");
    }
    vq::ResetTraceForTest();
    std::error_code ec;
    std::filesystem::remove_all(m_Dir, ec);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // True when some captured line contains `text`.
  bool Contains(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& line : m_Lines)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  // How many captured lines contain `text`.
  size_t Count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    size_t n = 0;
    for (const auto& line : m_Lines)
      if (line.find(text) != std::string::npos) ++n;
    return n;
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Lines;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Lines.clear();
  }

 private:
  std::string m_Dir;
  std::string m_OldDir;
  bool m_HadOldDir = false;
  mutable std::mutex m_Mutex;
  std::vector<std::string> m_Lines;
};

}  // namespace vq::test
