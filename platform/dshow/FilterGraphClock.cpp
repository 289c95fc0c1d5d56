// The graph's system clock.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#include "platform/dshow/FilterGraph.h"
#include "platform/win32/Sync.h"

namespace {

class CSystemClock final : public IReferenceClock {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IReferenceClock) {
      *ppv = static_cast<IReferenceClock*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* time) override {
    if (!time) return E_POINTER;
    *time = Now();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT event,
                                       DWORD_PTR* cookie) override {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!event || baseTime < 0 || streamTime < 0) return E_INVALIDARG;
    return Add({baseTime + streamTime, 0, reinterpret_cast<HANDLE>(event)}, cookie);
  }

  HRESULT STDMETHODCALLTYPE AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE semaphore,
                                           DWORD_PTR* cookie) override {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!semaphore || startTime < 0 || periodTime <= 0) return E_INVALIDARG;
    return Add({startTime, periodTime, reinterpret_cast<HANDLE>(semaphore)}, cookie);
  }

  HRESULT STDMETHODCALLTYPE Unadvise(DWORD_PTR cookie) override {
    std::lock_guard lock(mutex_);
    return advises_.erase(cookie) ? S_OK : S_FALSE;
  }

 private:
  struct Advise {
    REFERENCE_TIME due;
    REFERENCE_TIME period;  // 0: once, signalling an event
    HANDLE handle;
  };

  ~CSystemClock() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
  }

  static REFERENCE_TIME Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
               .count() /
           100;
  }

  HRESULT Add(Advise a, DWORD_PTR* cookie) {
    try {
      std::lock_guard lock(mutex_);
      DWORD_PTR id = ++lastCookie_;
      advises_.emplace(id, a);
      if (!worker_.joinable()) worker_ = std::thread([this] { Loop(); });
      *cookie = id;
    } catch (const std::exception&) {
      return E_OUTOFMEMORY;
    }
    wake_.notify_all();
    return S_OK;
  }

  void Loop() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
      REFERENCE_TIME now = Now();
      REFERENCE_TIME next = INT64_MAX;
      for (auto it = advises_.begin(); it != advises_.end();) {
        Advise& a = it->second;
        if (a.due <= now) {
          if (a.period == 0) {
            SetEvent(a.handle);
            it = advises_.erase(it);
            continue;
          }
          ReleaseSemaphore(a.handle, 1, nullptr);
          // Missed periods are not made up: the next one is after now.
          a.due += ((now - a.due) / a.period + 1) * a.period;
        }
        next = std::min(next, a.due);
        ++it;
      }
      if (next == INT64_MAX)
        wake_.wait(lock);
      else
        wake_.wait_for(lock, std::chrono::nanoseconds((next - now) * 100));
    }
  }

  std::atomic<ULONG> refs_{1};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<DWORD_PTR, Advise> advises_;
  DWORD_PTR lastCookie_ = 0;
  bool quit_ = false;
  std::thread worker_;
};

}  // namespace

HRESULT CreateSystemClock(IReferenceClock** out) {
  if (!out) return E_POINTER;
  *out = new (std::nothrow) CSystemClock();
  return *out ? S_OK : E_OUTOFMEMORY;
}
