// One helper thread that runs a piece of a frame's work beside the caller.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class CSliceHelper {
 public:
  CSliceHelper();
  ~CSliceHelper();
  CSliceHelper(const CSliceHelper&) = delete;
  CSliceHelper& operator=(const CSliceHelper&) = delete;

  // Starts job on the helper thread; the caller must Wait() before the
  // next Start and before anything the job uses goes away.
  void Start(std::function<void()> job);
  void Wait();

 private:
  void Loop();

  std::mutex m_lock;
  std::condition_variable m_wake;
  std::condition_variable m_done;
  std::function<void()> m_job;
  bool m_busy = false;
  bool m_quit = false;
  std::thread m_thread;
};
