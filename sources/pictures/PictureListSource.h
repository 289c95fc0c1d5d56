// The source of a picture-list job: one RGB24 video stream at the job's
// picture size in which each picture of the list, fitted into that size
// with its aspect kept on black, stands for a fixed number of seconds.
// Times start at 0; the stream ends after the last picture's time.
#pragma once

#include <string>
#include <vector>

#include "foundation/BaseStream.h"
#include "imagewriter/Picture.h"
#include "platform/dshow/BaseClasses.h"

PELLOMAR_DEFINE_GUID(CLSID_PictureListSource, "5C1F3B6A-8E4D-4F27-9A63-2D7B0E41C8F5");

class CPictureListStream : public CBaseStream {
 public:
  CPictureListStream(CSource* filter, HRESULT* phr);

  // Fails, with the picture named in `error`, when a picture cannot be read.
  // The frames come at rateNum / rateDen a second.
  HRESULT SetPictures(const std::vector<std::string>& paths, int width, int height, double seconds, int rateNum,
                      int rateDen, std::string& error);
  std::string GetRunError();

  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int position, CMediaType* pmt) override;
  HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* request) override;
  HRESULT FillFrame(IMediaSample* sample, int frameNumber, BYTE* buffer, LONG& length) override;

 private:
  // The picture `index` read and fitted into m_frame.
  bool LoadFrame(size_t index, std::string& error);
  // The picture frame `frameNumber` shows, counted at the exact frame rate
  // (the frame time in 100 ns units is rounded); SIZE_MAX past the end.
  size_t PictureOfFrame(int frameNumber) const;

  std::vector<std::string> m_paths;
  int m_nWidth = 0, m_nHeight = 0;
  REFERENCE_TIME m_rtPerPicture = 0;
  int m_nRateNum = 0, m_nRateDen = 0;
  CPicture m_frame;
  size_t m_nShown = SIZE_MAX;  // index of the picture in m_frame
  std::string m_strRunError;
};

class CPictureListSource : public CSource, public IRunReport {
 public:
  CPictureListSource(LPUNKNOWN outer, HRESULT* phr);

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // Only while stopped and before the output is connected.
  HRESULT SetPictures(const std::vector<std::string>& paths, int width, int height, double seconds, int rateNum,
                      int rateDen, std::string& error);
  // IRunReport: the text of a picture that could not be read while
  // running; no note.
  std::string GetRunError() const override;
  std::string GetRunNote() const override { return {}; }

 private:
  CPictureListStream* m_pStream = nullptr;  // owned by the filter's pin list
};
