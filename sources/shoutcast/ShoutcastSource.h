// Internet radio streams that speak the ICY variant of HTTP/1.0 and carry
// MPEG audio layer III: the source connects, reads the reply header (bit
// rate, metadata interval), synchronises on MP3 frames of the announced
// bit rate, then receives the stream on a thread of its own, cutting out
// the in-band metadata blocks and keeping the stream title. The output pin
// delivers the audio bytes as MP3 with times derived from the bit rate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/BaseSource.h"
#include "platform/win32/Socket.h"

PELLOMAR_DEFINE_GUID(CLSID_ShoutcastSource, "68F540E9-766F-44D2-ABB2-E26CC63E7A79");

// What the 4 bytes of an MPEG audio header say; false unless they start a
// layer III frame with a known bit rate and sample rate.
struct Mp3Header {
  int bitRate = 0;  // bit/s
  int sampleRate = 0;
  int channels = 0;
};
bool ParseMp3Header(const BYTE* h, Mp3Header* out);

// The values of StreamTitle='...' and StreamUrl='...' in one metadata
// block of `size` bytes (not necessarily terminated); a key that is not in
// the block leaves its value as it was.
void ParseIcyMetadata(const char* block, size_t size, std::string* title, std::string* url);

class CShoutcastStream : public CSourceStream {
 public:
  // The connection to the server: the reply header, frame synchronisation,
  // and a receive that takes the metadata blocks out of the audio.
  class CShoutcastSocket : public CSocket {
   public:
    // Connects, sends the request and reads the reply; true once the first
    // MP3 frame of the announced bit rate is next on the connection.
    bool ConnectAndRequest(const CUrl& url);
    // Audio bytes only: metadata blocks are read, parsed and left out.
    int Receive(void* buffer, int length, int flags = 0) override;

    DWORD m_metaint = 0;    // audio bytes between metadata blocks, 0: none
    DWORD m_nBytesRead = 0;  // audio bytes since the last metadata block
    DWORD m_bitrate = 0;     // bit/s, as announced
    int m_freq = -1;
    int m_channels = -1;
    std::string m_title;
    std::string m_url;

   protected:
    // The connection's own receive (the fuzz target feeds bytes here).
    virtual int ReceiveRaw(void* buffer, int length, int flags) { return CSocket::Receive(buffer, length, flags); }

   private:
    bool SendRequest(const CUrl& url, bool withAgent);
    bool ReadReply();
    bool FindSync();
    // Loops until all `length` bytes are there; false when the connection
    // fails or closes first.
    bool ReceiveAll(void* buffer, size_t length);
    bool ReadMetadata();
    // Drops a metadata block found among audio bytes that were read out of
    // step; the audio bytes left, or -1 when the connection failed.
    int DropStrayMetadata(BYTE* buffer, int length);

    // The largest block (255 x 16 bytes) and a terminator.
    char m_metadata[4081] = {};
  };

  CShoutcastStream(LPCWSTR url, CSource* filter, HRESULT* phr);
  ~CShoutcastStream() override;

  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT FillBuffer(IMediaSample* sample) override;
  HRESULT OnThreadCreate() override;
  HRESULT OnThreadDestroy() override;
  HRESULT Inactive() override;

  // For the filter's IAMOpenProgress and IAMMediaContent.
  void QueryProgress(LONGLONG* total, LONGLONG* current);
  std::string Title();

  static constexpr int kChunkSize = 5761;

 private:
  struct Chunk {
    std::vector<BYTE> data;
    REFERENCE_TIME start = 0, stop = 0;
    std::string title;
  };
  void ReceiveLoop();
  void StopReceiving();
  // Start of the last queued chunk minus that of the first (lock held).
  REFERENCE_TIME QueuedSpan() const;

  CUrl m_url;
  CShoutcastSocket m_socket;
  // The format found by the trial connection.
  DWORD m_bitrate = 0;
  int m_freq = 0;
  int m_channels = 0;

  std::mutex m_queueLock;
  std::condition_variable m_queueChanged;
  std::deque<std::unique_ptr<Chunk>> m_queue;
  size_t m_queuedBytes = 0;
  bool m_receiving = false;       // the receive thread has started and not ended
  bool m_receivedAny = false;     // data came on this run's connection
  bool m_buffering = false;       // FillBuffer has had to wait for data
  bool m_started = false;         // this run's segment has been sent
  std::atomic<bool> m_exit{true};
  std::thread m_receiveThread;
  std::string m_title;  // of the chunk delivered last
};

class CShoutcastSource : public CBaseSource<CShoutcastStream>, public IAMOpenProgress, public IAMMediaContent {
 public:
  CShoutcastSource(LPUNKNOWN outer, HRESULT* phr);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IAMOpenProgress: how far the start-up buffer is filled.
  STDMETHODIMP QueryProgress(LONGLONG* total, LONGLONG* current) override;
  STDMETHODIMP AbortOperation() override { return E_NOTIMPL; }

  // IDispatch: not supported.
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  // IAMMediaContent: the title of the stream as last delivered.
  STDMETHODIMP get_Title(BSTR* value) override;
  STDMETHODIMP get_AuthorName(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_Rating(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_Description(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_Copyright(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_BaseURL(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_LogoURL(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_LogoIconURL(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_WatermarkURL(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_MoreInfoURL(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_MoreInfoBannerImage(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_MoreInfoBannerURL(BSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP get_MoreInfoText(BSTR*) override { return E_NOTIMPL; }

 private:
  CShoutcastStream* Stream();
};
