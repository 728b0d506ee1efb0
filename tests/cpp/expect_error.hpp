#pragma once
// Expects a core failure of the given kind with exactly the given message.
#include <gtest/gtest.h>

#include <string>

#include "core/common/errors.hpp"

template <typename F>
void expect_error(F&& f, ostrel::core::ErrorKind kind, const std::string& text) {
  try {
    f();
    FAIL() << "expected: " << text;
  } catch (const ostrel::core::Error& e) {
    EXPECT_EQ(e.kind(), kind);
    EXPECT_EQ(std::string(e.what()), text);
  }
}
