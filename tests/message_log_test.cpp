#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class MessageLog : public testing::Test {
 protected:
  WorkDir dir;
  Launcher launcher{"127.0.0.1:1/"};
};

TEST_F(MessageLog, LineWithoutSurfaceIsKeptButNotDrawn) {
  launcher.addLogLine("");  // the text library renders nothing for an empty text
  launcher.addLogLine("after");
  launcher.render();
  EXPECT_EQ(launcher.logLines(), (Lines{"", "after"}));
}

TEST_F(MessageLog, ConcurrentWritersWhileFramesRender) {
  constexpr int writers = 6, linesEach = 150;
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w)
    threads.emplace_back([this, w] {
      for (int i = 0; i < linesEach; ++i) launcher.addLogLine("w" + std::to_string(w) + " " + std::to_string(i));
    });
  for (int frame = 0; frame < 20; ++frame) launcher.render();
  for (auto& t : threads) t.join();

  const Lines lines = launcher.logLines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(writers * linesEach));
  // Every line of every writer is there once, and each writer's lines keep their order.
  for (int w = 0; w < writers; ++w) {
    const std::string prefix = "w" + std::to_string(w) + " ";
    Lines mine, expected;
    for (const auto& line : lines)
      if (line.starts_with(prefix)) mine.push_back(line);
    for (int i = 0; i < linesEach; ++i) expected.push_back(prefix + std::to_string(i));
    EXPECT_EQ(mine, expected);
  }
}

}  // namespace
