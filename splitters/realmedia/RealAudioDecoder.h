// The RealAudio decoder: 14.4, 28.8, ATRAC3, Cook, DNET (AC-3), Sipro and
// AAC streams through the codec library of an installed RealMedia player.
// It undoes the interleaving of Cook and ATRAC3 blocks and the nibble
// shuffle of Sipro blocks before decoding, and times the PCM it delivers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/codecs/real/RealCodecApi.h"
#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Transform.h"
#include "platform/win32/Module.h"
#include "splitters/realmedia/RMFile.h"

PELLOMAR_DEFINE_GUID(CLSID_RealAudioDecoder, "941A4793-A705-4312-8DFC-C11CA05F397E");

class CRealAudioDecoder : public CTransformFilter {
 public:
  CRealAudioDecoder(LPUNKNOWN outer, HRESULT* phr);
  ~CRealAudioDecoder() override;

  static CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* phr);
  static HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv);

  HRESULT Receive(IMediaSample* sample) override;
  HRESULT CheckInputType(const CMediaType* mtIn) override;
  HRESULT CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* properties) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT StartStreaming() override;
  HRESULT StopStreaming() override;
  HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

  // The block reorderings, on a block of h rows of w bytes (t = h x w).
  // Cook and ATRAC3: sub-packets of s bytes from `block` into `out`.
  static void Deinterleave(const BYTE* block, BYTE* out, int h, int w, int s);
  // Sipro: the nibble exchange in place.
  static void SiproShuffle(BYTE* block, size_t t);

  // Blocks larger than this are refused: the sizes come from the file.
  static constexpr size_t kMaxBlock = 16u << 20;

 private:
  HRESULT InitRA(const CMediaType* pmt);
  void FreeCodec();
  void FreeLibraryModule();
  HRESULT DecodeUnits(const BYTE* data, size_t length, size_t unit);
  void ResetTime(REFERENCE_TIME start);

  HMODULE m_hDrvDll = nullptr;
  std::string m_dllPath;
  RACloseCodecFn RACloseCodec = nullptr;
  RADecodeFn RADecode = nullptr;
  RAFlushFn RAFlush = nullptr;
  RAFreeDecoderFn RAFreeDecoder = nullptr;
  RAGetFlavorPropertyFn RAGetFlavorProperty = nullptr;
  RAInitDecoderFn RAInitDecoder = nullptr;
  RAOpenCodecFn RAOpenCodec = nullptr;
  RAOpenCodec2Fn RAOpenCodec2 = nullptr;
  RASetFlavorFn RASetFlavor = nullptr;
  RASetDLLAccessPathFn RASetDLLAccessPath = nullptr;
  uint32_t m_dwCookie = 0;

  RMAudioFormat m_rai;
  std::vector<BYTE> m_buff;  // the block, then its reordered copy
  size_t m_bufflen = 0;
  REFERENCE_TIME m_rtStart = 0;
  // Output times run from the last sync point by whole bytes, so rounding
  // never adds up.
  REFERENCE_TIME m_rtBase = 0;
  uint64_t m_bytesSinceBase = 0;
  bool m_fDiscontinuity = false;
};
