// What the filters of a job's graph said about its run, for the job's log.
#include "conversion/GraphConverter.h"

#include "conversion/FrameRateChanger.h"
#include "conversion/MpegMuxer.h"
#include "decoders/mpeg2video/Mpeg2DecFilter.h"
#include "foundation/FilterHelpers.h"
#include "foundation/SplitterInterfaces.h"
#include "platform/codecs/VideoDecoder.h"
#include "platform/wmf/AsfWriter.h"
#include "sources/pictures/PictureListSource.h"

namespace {

// Every filter of the graph that reports damage in its source, in the
// graph's order.
std::vector<CComPtr<IDamageReport>> DamageReports(IFilterGraph* graph) {
  std::vector<CComPtr<IDamageReport>> reports;
  CComPtr<IEnumFilters> filters;
  if (FAILED(graph->EnumFilters(&filters)) || !filters) return reports;
  for (CComPtr<IBaseFilter> filter; filters->Next(1, &filter, nullptr) == S_OK; filter = nullptr) {
    CComPtr<IDamageReport> report;
    if (SUCCEEDED(filter->QueryInterface(IID_IDamageReport, reinterpret_cast<void**>(&report))) && report)
      reports.push_back(report);
  }
  return reports;
}

}  // namespace

std::string CGraphConverter::GetRunError() const {
  auto* graph = static_cast<IFilterGraph*>(const_cast<CGraphConverter*>(this));
  // A source that could not be read past its damage is the cause of
  // whatever failed behind it.
  for (const auto& report : DamageReports(graph)) {
    std::string text;
    if (report->GetDamageFailure(text) == S_OK) return text;
  }
  // A decoder that gave up on its stream names the cause; the stages behind
  // it only see pictures that never came.
  if (IBaseFilter* decoder = FindFilterByClsid(graph, CLSID_CMpeg2DecFilter)) {
    std::string text = static_cast<CMpeg2DecFilter*>(decoder)->GetStreamError();
    if (!text.empty()) return text;
  }
  for (const CLSID& clsid : {CLSID_FfdshowVideoDecoder, CLSID_CMpegVideoCodec}) {
    if (IBaseFilter* decoder = FindFilterByClsid(graph, clsid)) {
      std::string text = static_cast<CFfVideoDecoder*>(decoder)->GetStreamError();
      if (!text.empty()) return text;
    }
  }
  if (m_pPictureSource) {
    std::string text = static_cast<CPictureListSource*>(m_pPictureSource.p)->GetRunError();
    if (!text.empty()) return text;
  }
  if (m_pFrameChanger) {
    std::string text = static_cast<CFrameRateChanger*>(m_pFrameChanger.p)->GetRunError();
    if (!text.empty()) return text;
  }
  CLSID clsid = GUID_NULL;
  if (m_pSink && SUCCEEDED(m_pSink->GetClassID(&clsid)) && clsid == CLSID_MpegMuxer)
    return static_cast<CMpegMuxer*>(m_pSink.p)->GetRunError();
  if (clsid == CLSID_WMAsfWriter) return static_cast<CWMAsfWriter*>(m_pSink.p)->GetRunError();
  return std::string();
}

std::string CGraphConverter::GetRunNote() const {
  // The damage in the source first: what the stages behind did follows
  // from it.
  auto* graph = static_cast<IFilterGraph*>(const_cast<CGraphConverter*>(this));
  std::string note;
  for (const auto& report : DamageReports(graph)) {
    std::string text;
    if (SUCCEEDED(report->GetDamageReport(text))) note += text;
  }
  if (m_pFrameChanger) note += static_cast<CFrameRateChanger*>(m_pFrameChanger.p)->GetRunNote();
  return note;
}
