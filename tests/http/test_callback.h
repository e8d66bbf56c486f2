// An ITskCallBack for transport tests: counts progress and cancels on cue.
#pragma once

#include <atomic>
#include <cstdint>

#include "http/transfer_callback.h"

namespace chunkup::testing {

class TestCallback final : public ITskCallBack {
 public:
  // IsCancelled answers false this many times and true from then on; -1 never cancels.
  explicit TestCallback(int answersBeforeCancel = -1) : m_answersBeforeCancel(answersBeforeCancel) {}

  int32_t OnProgress(int32_t count) override {
    m_progress += count;
    ++m_progressCalls;
    return 0;
  }
  bool IsCancelled() override {
    int asked = m_cancelQuestions++;
    return m_answersBeforeCancel >= 0 && asked >= m_answersBeforeCancel;
  }

  int64_t progress() const { return m_progress; }
  int progressCalls() const { return m_progressCalls; }
  int cancelQuestions() const { return m_cancelQuestions; }

 private:
  const int m_answersBeforeCancel;
  std::atomic<int64_t> m_progress{0};
  std::atomic<int> m_progressCalls{0};
  std::atomic<int> m_cancelQuestions{0};
};

}  // namespace chunkup::testing
