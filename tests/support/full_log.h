// The diagnostic log at its fullest (every line, the card's commands traced)
// into a fresh temporary directory, through the test registry as a user
// sets it; at the end the log is off and the directory gone.
#pragma once

#include <string>

namespace vela::test {

class FullLog {
 public:
  FullLog();
  ~FullLog();
  FullLog(const FullLog&) = delete;
  FullLog& operator=(const FullLog&) = delete;

  const std::string& dir() const { return dir_; }
  // Every log file's text, one after the other.
  std::string Text() const;

 private:
  std::string dir_;
};

}  // namespace vela::test
