// Test helpers: small files written from and read back into strings, for tests that set up
// configuration files, scripts and logs in a temporary folder. A failure to write or read
// fails the calling test. Plain functions, safe from any thread.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "platform/file.h"

namespace qxfw::test_support {

// Replaces path with text and gives it the permission bits mode; returns path.
inline std::string WriteTextFile(const std::string& path, const std::string& text,
                                 mode_t mode = 0644) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  EXPECT_TRUE(out) << "cannot write " << path;
  EXPECT_EQ(chmod(path.c_str(), mode), 0) << "cannot set the mode of " << path;
  return path;
}

// The whole file; empty when it cannot be read.
inline std::string ReadTextFile(const std::string& path) {
  std::string text;
  EXPECT_TRUE(platform::ReadWholeFile(path, &text)) << "cannot read " << path;
  return text;
}

}  // namespace qxfw::test_support
