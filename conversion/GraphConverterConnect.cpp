// How the converter connects a job's streams: the decoded streams taken off
// their renderers, the frame-rate changer and what it needs in front of it,
// and the way into a sink.
#include "conversion/GraphConverter.h"

#include <cstdlib>

#include "conversion/FrameRateChanger.h"
#include "conversion/GraphConverterChecks.h"
#include "conversion/MediaTimeChecker.h"
#include "conversion/PictureTurner.h"
#include "foundation/FilterFactory.h"
#include "foundation/FilterHelpers.h"
#include "graph/core/GraphUtil.h"
#include "platform/codecs/Resizer.h"
#include "platform/win32/CodePage.h"

using namespace ConverterChecks;

namespace {

// PCM offered, but never plain 16-bit: 8-, 24-, 32-bit, float or
// extensible layouts go through "PCM Resample".
bool OffersOnlyOtherPcm(IPin* pin) {
  bool pcm = false, pcm16 = false;
  CComPtr<IEnumMediaTypes> types;
  if (FAILED(pin->EnumMediaTypes(&types)) || !types) return false;
  AM_MEDIA_TYPE* pmt = nullptr;
  for (int n = 0; n < 1024 && types->Next(1, &pmt, nullptr) == S_OK; ++n) {
    if (pmt->formattype == FORMAT_WaveFormatEx && pmt->pbFormat && pmt->cbFormat >= 16) {
      const WAVEFORMATEX* wfx = reinterpret_cast<const WAVEFORMATEX*>(pmt->pbFormat);
      const WORD tag = wfx->wFormatTag;
      if (tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT || tag == WAVE_FORMAT_EXTENSIBLE) pcm = true;
      if (tag == WAVE_FORMAT_PCM && wfx->wBitsPerSample == 16) pcm16 = true;
    }
    DeleteMediaType(pmt);
    pmt = nullptr;
  }
  return pcm && !pcm16;
}


}  // namespace

HRESULT CGraphConverter::ConnectWithResizer(IPin* out, IBaseFilter* filter, const AM_MEDIA_TYPE* pmt,
                                            bool resizeAllowed, bool keepSize) {
  if (!out || !filter || !pmt) return E_POINTER;
  if (m_nWidth && m_nHeight && resizeAllowed && !keepSize) {
    int w = 0, h = 0, ax = 0, ay = 0;
    GetVideoSizeAndAspect(pmt, w, h, ax, ay);
    if (h < 0) h = -h;
    if (w != m_nWidth && h != m_nHeight) {
      CComPtr<IBaseFilter> resizer;
      if (SUCCEEDED(CoCreateInstance(CLSID_VideoResizer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&resizer))) &&
          resizer) {
        HRESULT hr = AddFilter(resizer, L"Resizer");
        if (FAILED(hr)) return hr;
        if (CComQIPtr<IResize> resize = resizer.p) {
          resize->put_MediaType(pmt);
          resize->put_Size(m_nHeight, m_nWidth, 0);
        }
        hr = ConnectPinToFilterDirectEx(out, resizer, pmt, false, false);
        if (FAILED(hr)) return hr;
        IPin* resized = GetFirstPinByDirection(resizer, PINDIR_OUTPUT);
        if (!resized) return E_FAIL;
        return ConnectPinToFilterDirect(resized, filter, nullptr);
      }
    }
  }
  CMediaType copy(*pmt);
  if (m_nWidth && m_nHeight && !keepSize && copy.pbFormat) {
    BITMAPINFOHEADER* bih = nullptr;
    if ((copy.formattype == FORMAT_VideoInfo || copy.formattype == FORMAT_MPEGVideo) &&
        copy.cbFormat >= sizeof(VIDEOINFOHEADER))
      bih = &reinterpret_cast<VIDEOINFOHEADER*>(copy.pbFormat)->bmiHeader;
    else if ((copy.formattype == FORMAT_VideoInfo2 || copy.formattype == FORMAT_MPEG2Video ||
              copy.formattype == FORMAT_VideoInfo2Ex) &&
             copy.cbFormat >= sizeof(VIDEOINFOHEADER2))
      bih = &reinterpret_cast<VIDEOINFOHEADER2*>(copy.pbFormat)->bmiHeader;
    if (bih) {
      bih->biWidth = m_nWidth;
      bih->biHeight = m_nHeight;
    }
  }
  HRESULT hr = ConnectPinToFilterDirectEx(out, filter, &copy, false, false);
  if (hr != S_OK) hr = ConnectPinToFilterDirectEx(out, filter, pmt, false, false);
  return hr;
}

HRESULT CGraphConverter::RenderSourceAndCollectPins(IBaseFilter* source, PinList& video, PinList& audio) {
  HRESULT hr = ConnectFilter(source, nullptr);
  if (FAILED(hr)) return hr;
  return CollectRenderedPins(source, video, audio);
}

HRESULT CGraphConverter::CollectRenderedPins(IBaseFilter* filter, PinList& video, PinList& audio, int depth) {
  // A graph is a chain of a few filters; the bound guards against a cycle.
  if (depth > 64) return E_FAIL;
  std::vector<CComPtr<IPin>> outputs;
  CComPtr<IEnumPins> pins;
  HRESULT hr = filter->EnumPins(&pins);
  if (FAILED(hr) || !pins) return FAILED(hr) ? hr : E_FAIL;
  for (CComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin.Release()) {
    PIN_DIRECTION dir;
    if (SUCCEEDED(pin->QueryDirection(&dir)) && dir == PINDIR_OUTPUT) outputs.push_back(pin);
  }
  for (IPin* out : outputs) {
    CComPtr<IPin> peer;
    if (FAILED(out->ConnectedTo(&peer)) || !peer) continue;
    PIN_INFO pi{};
    if (FAILED(peer->QueryPinInfo(&pi)) || !pi.pFilter) continue;
    CComPtr<IBaseFilter> next;
    next.Attach(pi.pFilter);
    bool renderer = IsRendererFilter(next);
    if (renderer || IsAudioRendererFilter(next)) {
      CMediaType mt;
      out->ConnectionMediaType(&mt);
      PinList ownVideo, ownAudio;
      hr = CollectRenderedPins(next, ownVideo, ownAudio, depth + 1);
      if (FAILED(hr)) return hr;
      HRESULT d1 = Disconnect(out);
      HRESULT d2 = Disconnect(peer);
      // A renderer known by its name may be an audio renderer too; what
      // the pin carried decides, so that no audio stream is taken for
      // video.
      bool toVideo = renderer && mt.majortype != MEDIATYPE_Audio;
      RenderedPin rendered{CComPtr<IPin>(out), mt.majortype};
      const BITMAPINFOHEADER* bih = nullptr;
      if (mt.formattype == FORMAT_VideoInfo && mt.cbFormat >= sizeof(VIDEOINFOHEADER) && mt.pbFormat)
        bih = &reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
      else if (mt.formattype == FORMAT_VideoInfo2 && mt.cbFormat >= sizeof(VIDEOINFOHEADER2) && mt.pbFormat)
        bih = &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->bmiHeader;
      if (bih) {
        rendered.width = bih->biWidth;
        rendered.height = bih->biHeight < 0 ? -bih->biHeight : bih->biHeight;
      }
      (toVideo ? video : audio).push_back(rendered);
      if (SUCCEEDED(d1) && SUCCEEDED(d2)) RemoveFilter(next);
    } else {
      hr = CollectRenderedPins(next, video, audio, depth + 1);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

HRESULT CGraphConverter::AddFrameChanger(int num, int den, CComPtr<IBaseFilter>& filter,
                                         CFrameRateChanger*& changer) {
  HRESULT hr = NewFilter(filter, changer);
  if (FAILED(hr)) return hr;
  changer->SetFrameRate(num, den);
  return AddFilter(filter, L"Veyl Frame Changer");
}

HRESULT CGraphConverter::ConnectPlanar(IPin* pin, IBaseFilter* filter) {
  // The decoder's 4:2:0 types, in its own order, before any RGB one. Odd
  // sides have no whole chroma samples: such pictures go as RGB.
  CComPtr<IEnumMediaTypes> types;
  if (FAILED(pin->EnumMediaTypes(&types)) || !types) return VFW_E_CANNOT_CONNECT;
  AM_MEDIA_TYPE* pmt = nullptr;
  HRESULT hr = VFW_E_CANNOT_CONNECT;
  for (int n = 0; n < 64 && FAILED(hr) && types->Next(1, &pmt, nullptr) == S_OK && pmt; ++n) {
    const GUID& s = pmt->subtype;
    const BITMAPINFOHEADER* bih = VideoBitmapHeader(*pmt);
    const bool even = bih && bih->biWidth % 2 == 0 && bih->biHeight % 2 == 0;
    if (even && (s == MEDIASUBTYPE_YV12 || s == MEDIASUBTYPE_I420 || s == MEDIASUBTYPE_IYUV))
      hr = ConnectPinToFilterDirect(pin, filter, pmt);
    DeleteMediaType(pmt);
    pmt = nullptr;
  }
  return hr;
}

HRESULT CGraphConverter::ConnectToFrameChanger(IPin* pin, IBaseFilter* filter, CFrameRateChanger* changer,
                                               bool planar) {
  changer->SetInputMode(1);
  changer->SetPlanarInput(planar);
  HRESULT hr = planar ? ConnectPlanar(pin, filter) : VFW_E_CANNOT_CONNECT;
  if (FAILED(hr)) hr = ConnectPinToFilterDirectEx(pin, filter, nullptr, true, true);
  if (FAILED(hr)) hr = ConnectThroughLayoutConverter(pin, filter);
  if (FAILED(hr)) {
    changer->SetInputMode(0);
    hr = ConnectPinToFilterDirect(pin, filter, nullptr);
  }
  if (FAILED(hr)) g_strConvertError = "Connect Video Decompressor to Frame Rate Changer Failed\n";
  return hr;
}

HRESULT CGraphConverter::ConnectThroughLayoutConverter(IPin* pin, IBaseFilter* changer) {
  // Uncompressed YUV that nothing upstream turns into RGB (a source that
  // makes its pictures itself): the platform's resizer, at the same size,
  // converts the layout.
  CMediaType mt;
  {
    CComPtr<IEnumMediaTypes> types;
    AM_MEDIA_TYPE* first = nullptr;
    if (FAILED(pin->EnumMediaTypes(&types)) || !types || types->Next(1, &first, nullptr) != S_OK || !first)
      return VFW_E_CANNOT_CONNECT;
    mt.Set(*first);
    DeleteMediaType(first);
  }
  const GUID& s = mt.subtype;
  if (mt.majortype != MEDIATYPE_Video || !VideoBitmapHeader(mt) ||
      !(s == MEDIASUBTYPE_YUY2 || s == MEDIASUBTYPE_UYVY || s == MEDIASUBTYPE_YV12 || s == MEDIASUBTYPE_I420))
    return VFW_E_CANNOT_CONNECT;
  CComPtr<IBaseFilter> resizer;
  HRESULT hr = CoCreateInstance(CLSID_VideoResizer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&resizer));
  if (FAILED(hr) || !resizer) return FAILED(hr) ? hr : E_FAIL;
  hr = AddFilter(resizer, L"Resizer");
  if (FAILED(hr)) return hr;
  hr = ConnectPinToFilterDirect(pin, resizer, nullptr);
  IPin* out = GetFirstPinByDirection(resizer, PINDIR_OUTPUT);
  // It offers the layout it receives; RGB24 of the same size is asked for.
  const BITMAPINFOHEADER* bih = VideoBitmapHeader(mt);
  CMediaType rgb;
  if (SUCCEEDED(hr))
    hr = bih ? MakeRawVideoType(&rgb, RawVideo::RGB24, bih->biWidth, std::abs(bih->biHeight), VideoFrameTime(mt))
             : E_FAIL;
  if (SUCCEEDED(hr)) hr = out ? ConnectPinToFilterDirectEx(out, changer, &rgb, false, false) : E_FAIL;
  if (FAILED(hr)) {
    Disconnect(pin);
    RemoveFilter(resizer);
  }
  return hr;
}

HRESULT CGraphConverter::ConnectVideoToMuxer(IPin* pin, IBaseFilter* sink) {
  CComPtr<IBaseFilter> filter;
  CFrameRateChanger* changer = nullptr;
  HRESULT hr = AddFrameChanger(m_nRateNum, m_nRateDen, filter, changer);
  if (FAILED(hr)) return hr;
  m_pFrameChanger = filter;
  // The sinks read the decoder's 4:2:0 pictures themselves; the frame
  // changer converts only the frames it writes as pictures.
  hr = ConnectToFrameChanger(pin, filter, changer, true);
  if (FAILED(hr)) return hr;
  if (m_nImageMode > 0) {
    changer->SetPictureTurn(m_nTurn);
    // The thumbnail is one of the job's files; the pictures of a series are
    // written under their own names.
    std::wstring path = m_strImagePath;
    if (m_nImageMode == CFrameRateChanger::kThumbnail) {
      std::string error;
      const std::string temp = m_pFiles->Reserve(WideToUtf8(m_strImagePath), &error);
      if (temp.empty()) return Refuse(E_INVALIDARG, error);
      path = Utf8ToWide(temp);
    } else {
      changer->SetPictureFiles(m_pFiles, m_bReplacePictures);
    }
    hr = changer->SetImageOutput(m_nImageMode, path.c_str(), m_nImageTime, m_nImageWidth, m_nImageHeight);
    if (FAILED(hr))
      return Refuse(hr, "The frame changer refused the picture output (interval or time " + std::to_string(m_nImageTime) +
                            " ms, " + std::to_string(m_nImageWidth) + "x" + std::to_string(m_nImageHeight) + ")\n");
  }
  IPin* out = GetFirstPinByDirection(filter, PINDIR_OUTPUT);
  IPin* in = GetFirstUnconnectedPin(sink, PINDIR_INPUT);
  hr = out && in ? ConnectDirect(out, in, nullptr) : VFW_E_NOT_FOUND;
  if (FAILED(hr)) g_strConvertError = "Connect video stream to Muxer Failed, seems no suitable video decoder\n";
  return hr;
}

HRESULT CGraphConverter::ConnectAudioToMuxer(IPin* pin, IBaseFilter* sink) {
  CComPtr<IPin> from(pin);
  HRESULT hr = S_OK;
  if (OffersOnlyOtherPcm(pin)) {
    CComPtr<IBaseFilter> resample;
    hr = CoCreateInstance(CLSID_ACMWrapper, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                          reinterpret_cast<void**>(&resample));
    if (SUCCEEDED(hr)) hr = AddFilter(resample, L"PCM Resample");
    if (SUCCEEDED(hr)) hr = ConnectPinToFilterDirect(pin, resample, nullptr);
    if (SUCCEEDED(hr)) {
      from = GetFirstPinByDirection(resample, PINDIR_OUTPUT);
      if (!from) hr = E_FAIL;
    }
  }
  if (SUCCEEDED(hr)) hr = ConnectPinToFilterDirect(from, sink, nullptr);
  if (FAILED(hr)) g_strConvertError = "Connect audio stream to Muxer Failed\n";
  return hr;
}

HRESULT CGraphConverter::ConnectVideoToCompressor(IPin* pin, IBaseFilter* sink, bool keepRate) {
  CComPtr<IBaseFilter> filter;
  CFrameRateChanger* changer = nullptr;
  HRESULT hr = AddFrameChanger(keepRate ? 0 : m_nRateNum, keepRate ? 0 : m_nRateDen, filter, changer);
  if (FAILED(hr)) return hr;
  m_pFrameChanger = filter;
  // The writer writes its pictures as they come: a turned picture is turned
  // upright in front of the frame changer, and goes on at its new shape.
  if (m_nTurn) {
    CComPtr<IBaseFilter> turner;
    CPictureTurner* turn = nullptr;
    hr = NewFilter(turner, turn);
    if (SUCCEEDED(hr)) hr = turn->SetTurn(m_nTurn);
    if (SUCCEEDED(hr)) hr = AddFilter(turner, L"Picture Turner");
    if (SUCCEEDED(hr)) {
      hr = ConnectPlanar(pin, turner);
      if (FAILED(hr)) hr = ConnectPinToFilterDirect(pin, turner, nullptr);
    }
    IPin* turned = SUCCEEDED(hr) ? GetFirstPinByDirection(turner, PINDIR_OUTPUT) : nullptr;
    if (!turned) {
      g_strConvertError = "Connect Video Decompressor to Picture Turner Failed\n";
      return FAILED(hr) ? hr : E_FAIL;
    }
    pin = turned;
  }
  // The writer encodes 4:2:0 and the resizer scales it as it is: the
  // decoder's own planes go through, with no RGB stage on the way.
  hr = ConnectToFrameChanger(pin, filter, changer, true);
  if (FAILED(hr)) return hr;

  CMediaType mt;
  hr = pin->ConnectionMediaType(&mt);
  if (SUCCEEDED(hr)) {
    CComPtr<IPin> peer;
    pin->ConnectedTo(&peer);
    Disconnect(pin);
    if (peer) Disconnect(peer);
    hr = ConnectWithResizer(pin, filter, &mt, true, false);
  }
  if (FAILED(hr)) {
    g_strConvertError = "Connect Video Decompressor to Frame Rate Changer with resizer Failed\n";
    return hr;
  }

  CComPtr<IBaseFilter> checker;
  CMediaTimeChecker* timer = nullptr;
  hr = NewFilter(checker, timer);
  if (SUCCEEDED(hr)) hr = AddFilter(checker, L"Media VTimer");
  IPin* out = GetFirstPinByDirection(filter, PINDIR_OUTPUT);
  if (SUCCEEDED(hr)) hr = out ? ConnectPinToFilterDirect(out, checker, nullptr) : E_FAIL;
  if (FAILED(hr)) {
    g_strConvertError = "Connect Frame Rate Changer to Media VTimer Failed\n";
    return hr;
  }
  IPin* timed = GetFirstPinByDirection(checker, PINDIR_OUTPUT);
  hr = timed ? ConnectPinToFilterDirect(timed, sink, nullptr) : E_FAIL;
  if (FAILED(hr)) g_strConvertError = "Connect video stream to Muxer Failed\n";
  return hr;
}
