// libFuzzer target for the stream header parsers: every parser runs over
// the input from its start, with a budget taken from the first bytes. A
// parser must return without reading past the data or its budget, without
// hanging and without undefined behaviour.
//
//   cmake --preset fuzz (or -DPELLOMAR_FUZZ=ON with clang)
//   ninja -C build/fuzz headerparsers_fuzz headerparsers_fuzz_corpus
//   build/fuzz/fuzz/headerparsers_fuzz build/fuzz/fuzz/corpus/headerparsers
#include <atomic>
#include <cstdlib>
#include <vector>

#include "foundation/BaseSplitterFileEx.h"

namespace {

class FuzzReader final : public IAsyncReader {
 public:
  FuzzReader(const BYTE* data, size_t size) : m_data(data), m_size(static_cast<LONGLONG>(size)) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IAsyncReader) {
      *ppv = static_cast<IAsyncReader*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_ref; }
  STDMETHODIMP_(ULONG) Release() override { return --m_ref; }  // lives on the stack
  STDMETHODIMP RequestAllocator(IMemAllocator*, ALLOCATOR_PROPERTIES*, IMemAllocator**) override { return E_NOTIMPL; }
  STDMETHODIMP Request(IMediaSample*, DWORD_PTR) override { return E_NOTIMPL; }
  STDMETHODIMP WaitForNext(DWORD, IMediaSample**, DWORD_PTR*) override { return E_NOTIMPL; }
  STDMETHODIMP SyncReadAligned(IMediaSample*) override { return E_NOTIMPL; }
  STDMETHODIMP SyncRead(LONGLONG pos, LONG length, BYTE* buffer) override {
    if (pos < 0 || length < 0 || pos + length > m_size) abort();  // a read outside the data is a bug here
    if (length) memcpy(buffer, m_data + pos, static_cast<size_t>(length));
    return S_OK;
  }
  STDMETHODIMP Length(LONGLONG* total, LONGLONG* available) override {
    if (total) *total = m_size;
    if (available) *available = m_size;
    return S_OK;
  }
  STDMETHODIMP BeginFlush() override { return E_NOTIMPL; }
  STDMETHODIMP EndFlush() override { return E_NOTIMPL; }

 private:
  const BYTE* m_data;
  LONGLONG m_size;
  std::atomic<ULONG> m_ref{1};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  LONGLONG budget = (data[0] << 8) | data[1];
  FuzzReader reader(data + 2, size - 2);
  HRESULT hr = E_FAIL;
  CBaseSplitterFileEx f(&reader, hr, 512);
  if (FAILED(hr)) return 0;

  LONGLONG len = f.GetLength();
  auto check = [&](bool budgeted) {
    if (f.GetPos() > len) abort();
    // Scanners may read one header's worth behind the last place they
    // looked at.
    if (budgeted && f.GetPos() > budget + 11) abort();
    f.Seek(0);
  };
  BYTE code;
  CBaseSplitterFileEx::PackHeader pk;
  CBaseSplitterFileEx::SystemHeader sh;
  CBaseSplitterFileEx::PesHeader pes;
  CBaseSplitterFileEx::SequenceHeader seq;
  CBaseSplitterFileEx::MpegAudioHeader mpa;
  CBaseSplitterFileEx::AdtsHeader adts;
  CBaseSplitterFileEx::Ac3Header ac3;
  CBaseSplitterFileEx::DtsHeader dts;
  CBaseSplitterFileEx::LpcmHeader lpcm;
  CBaseSplitterFileEx::TsHeader ts;
  CBaseSplitterFileEx::PsiSectionHeader psi;
  CBaseSplitterFileEx::PvaHeader pva;
  CBaseSplitterFileEx::AvcHeader avc;
  CBaseSplitterFileEx::Ps2AudioHeader ps2;
  CMediaType mt;

  f.FindStartCode(code, budget);
  check(true);
  f.ReadPackHeader(pk);
  check(false);
  f.ReadSystemHeader(sh);
  check(false);
  f.ReadPesHeader(pes, static_cast<BYTE>(0xBD + data[0] % 0x33));
  check(false);
  f.ReadSequenceHeader(seq, budget, &mt);
  check(true);
  f.ReadMpegAudioHeader(mpa, budget, data[1] & 1, &mt);
  check(true);
  f.ReadAdtsHeader(adts, budget, &mt);
  check(true);
  f.ReadAc3Header(ac3, budget, &mt);
  check(true);
  f.ReadDtsHeader(dts, budget, &mt);
  check(true);
  f.ReadLpcmHeader(lpcm, &mt);
  check(false);
  f.ReadTsHeader(ts, true);
  check(false);
  f.ReadPsiSectionHeader(psi);
  check(false);
  f.ReadPvaHeader(pva, true);
  check(false);
  f.ReadAvcHeader(avc, budget, &mt);
  check(true);
  f.ReadPs2AudioHeader(ps2, &mt);
  check(false);

  // A whole walk of transport packets and program-stream start codes, as
  // the splitters do it: it must end.
  for (int i = 0; i < 10000 && f.ReadTsHeader(ts, i == 0); i++) f.Seek(ts.next);
  f.Seek(0);
  for (int i = 0; i < 10000 && f.FindStartCode(code, f.GetRemaining()); i++) {
    if (code == 0xBA) f.ReadPackHeader(pk);
    else if (code >= 0xBD && code <= 0xEF && f.ReadPesHeader(pes, code)) f.Seek(f.GetPos() + pes.len);
  }
  return 0;
}
