// Standard output and standard error of in-process calls, captured apart:
// listings belong on the one, every diagnostic on the other.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace rstest {

struct Streams {
  std::string out;
  std::string err;
};

// Both streams captured from here until take().
class StreamCapture {
 public:
  StreamCapture() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
  }
  StreamCapture(const StreamCapture&) = delete;
  StreamCapture& operator=(const StreamCapture&) = delete;
  ~StreamCapture() {
    if (!taken_) take();
  }
  Streams take() {
    taken_ = true;
    Streams s;
    s.err = testing::internal::GetCapturedStderr();
    s.out = testing::internal::GetCapturedStdout();
    return s;
  }

 private:
  bool taken_ = false;
};

template <class F>
Streams capture_streams(F&& f) {
  StreamCapture c;
  std::forward<F>(f)();
  return c.take();
}

}  // namespace rstest
