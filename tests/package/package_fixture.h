// A document, a recording display and a fresh root for the package tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/recording_display.h"
#include "lines/document.h"
#include "platform/memory_wire.h"
#include "platform/paths.h"
#include "platform/scoped_root.h"

namespace quorrel::testing {

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::filesystem::path& p, const std::string& content) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

class PackageTest : public ::testing::Test {
 protected:
  ScopedRoot root_;
  VirtualClock clock_;
  MemoryPorts ports_;
  CQuorrelDoc doc_{clock_, ports_};
  RecordingDisplay display_;
};

}  // namespace quorrel::testing
