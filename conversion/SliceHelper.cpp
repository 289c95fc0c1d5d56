#include "conversion/SliceHelper.h"

CSliceHelper::CSliceHelper() : m_thread([this] { Loop(); }) {}

CSliceHelper::~CSliceHelper() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_quit = true;
  }
  m_wake.notify_one();
  m_thread.join();
}

void CSliceHelper::Start(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_job = std::move(job);
    m_busy = true;
  }
  m_wake.notify_one();
}

void CSliceHelper::Wait() {
  std::unique_lock<std::mutex> lock(m_lock);
  m_done.wait(lock, [this] { return !m_busy; });
}

void CSliceHelper::Loop() {
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    m_wake.wait(lock, [this] { return m_quit || m_busy; });
    if (m_quit) return;
    std::function<void()> job = std::move(m_job);
    lock.unlock();
    job();
    lock.lock();
    m_busy = false;
    m_done.notify_one();
  }
}
