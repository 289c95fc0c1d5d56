// The system's filter graph manager. It wraps the platform's filter graph
// (the inner graph) and answers for it: plain graph operations go to the
// inner graph, while choosing filters (sources for files, filters between
// pins) follows the system's own rules over its record lists. It keeps the
// dead ends of failed renders for the caller to read.
//
// One re-entrant lock guards the whole manager; every interface operation
// holds it, and the operations call each other through the interface.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "graph/core/FGFilter.h"
#include "graph/core/FGFilterList.h"
#include "foundation/SplitterInterfaces.h"
#include "graph/core/IGraphBuilder2.h"
#include "platform/dshow/BaseClasses.h"

// True when every group of the check-byte pattern matches the open file.
bool CheckFileBytes(HANDLE file, const std::wstring& pattern);

class CFGManager : public CUnknown, public IGraphBuilder2, public IGraphBuilderDeadEnd {
 public:
  CFGManager(LPCTSTR name, LPUNKNOWN outer);
  ~CFGManager() override;

  DECLARE_IUNKNOWN;
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IFilterGraph
  STDMETHODIMP AddFilter(IBaseFilter* filter, LPCWSTR name) override;
  STDMETHODIMP RemoveFilter(IBaseFilter* filter) override;
  STDMETHODIMP EnumFilters(IEnumFilters** ppEnum) override;
  STDMETHODIMP FindFilterByName(LPCWSTR name, IBaseFilter** filter) override;
  STDMETHODIMP ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP Reconnect(IPin* pin) override;
  STDMETHODIMP Disconnect(IPin* pin) override;
  STDMETHODIMP SetDefaultSyncSource() override;
  // IGraphBuilder
  STDMETHODIMP Connect(IPin* out, IPin* in) override;
  STDMETHODIMP Render(IPin* out) override;
  STDMETHODIMP RenderFile(LPCWSTR file, LPCWSTR playList) override;
  STDMETHODIMP AddSourceFilter(LPCWSTR fileName, LPCWSTR filterName, IBaseFilter** filter) override;
  STDMETHODIMP SetLogFile(DWORD_PTR file) override;
  STDMETHODIMP Abort() override;
  STDMETHODIMP ShouldOperationContinue() override;
  // IFilterGraph2
  STDMETHODIMP AddSourceFilterForMoniker(IMoniker* moniker, IBindCtx* ctx, LPCWSTR filterName,
                                         IBaseFilter** filter) override;
  STDMETHODIMP ReconnectEx(IPin* pin, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP RenderEx(IPin* out, DWORD flags, DWORD* context) override;
  // IGraphBuilder2
  STDMETHODIMP IsPinDirection(IPin* pin, PIN_DIRECTION dir) override;
  STDMETHODIMP IsPinConnected(IPin* pin) override;
  STDMETHODIMP ConnectPinToFilter(IPin* out, IBaseFilter* filter) override;
  STDMETHODIMP ConnectFilter(IBaseFilter* filter, IPin* in) override;
  STDMETHODIMP ConnectPinToFilterDirect(IPin* out, IBaseFilter* filter, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP RemoveDownstream(IUnknown* object) override;
  STDMETHODIMP FindInterface(REFIID riid, void** ppv, BOOL remove) override;
  STDMETHODIMP AddToROT() override;
  STDMETHODIMP RemoveFromROT() override;
  // IGraphBuilderDeadEnd
  STDMETHODIMP_(size_t) GetCount() override;
  STDMETHODIMP GetDeadEnd(int index, std::vector<std::wstring>& path, std::vector<CMediaType>& mts) override;

  // For the graph converter: a direct connection to the first free input
  // pin of `filter` that takes it, optionally trying the output pin's own
  // types one by one (RGB24 in a VIDEOINFOHEADER first when asked).
  HRESULT ConnectPinToFilterDirectEx(IPin* out, IBaseFilter* filter, const AM_MEDIA_TYPE* pmt,
                                     bool tryOutputTypes, bool preferRGB24);
  // Adds the first source candidate that loads the file and reports the
  // SourceFormat bit of its record.
  HRESULT AddSourceFilterWithFormat(LPCWSTR fileName, LPCWSTR filterName, IBaseFilter** filter,
                                    DWORD* sourceFormat);
  // The source candidates for a file name or URL (the list is emptied
  // first).
  HRESULT EnumSourceFilters(LPCWSTR name, CFGFilterList& list);
  HRESULT AddSourceFilterFromRecord(CFGFilter* record, LPCWSTR fileName, LPCWSTR filterName,
                                    IBaseFilter** filter);

 protected:
  // Record lists, owned by the manager; filled by derived managers.
  void AddSourceRecord(std::unique_ptr<CFGFilter> record) { m_source.push_back(std::move(record)); }
  void AddTransformRecord(std::unique_ptr<CFGFilter> record) { m_transform.push_back(std::move(record)); }
  void AddOverrideRecord(std::unique_ptr<CFGFilter> record) { m_override.push_back(std::move(record)); }
  const std::vector<std::unique_ptr<CFGFilter>>& SourceRecords() const { return m_source; }
  // A format the program knows but no source of it reads, by its check
  // bytes: a file of it that only the plain file reader takes leaves
  // `text` as the reason no source read it (SetSourceRefusal).
  void AddUnreadFormat(std::vector<std::wstring> patterns, std::string text) {
    m_unread.push_back({std::move(patterns), std::move(text)});
  }
  const std::vector<std::unique_ptr<CFGFilter>>& TransformRecords() const { return m_transform; }

  CCritSec m_lock;

 private:
  struct PathStep {
    CLSID clsid;
    std::wstring filter;
    std::wstring pin;
  };
  struct DeadEnd {
    std::vector<PathStep> path;
    std::vector<CMediaType> mts;
  };

  template <class F>
  HRESULT Forward(F call);
  HRESULT ConnectDirectWorker(IPin* out, IPin* in, const AM_MEDIA_TYPE* pmt, bool tryOutputTypes,
                              bool preferRGB24);
  HRESULT ConnectImpl(IPin* out, IPin* in);
  HRESULT ConnectFilterImpl(IBaseFilter* filter, IPin* in);
  HRESULT RenderFileImpl(LPCWSTR file);
  HRESULT AddSourceFromRecordImpl(CFGFilter* record, LPCWSTR fileName, LPCWSTR filterName,
                                  IBaseFilter** filter, int asfSwaps);
  HRESULT SwapAviSource(IBaseFilter* aviSource, LPCWSTR fileName, LPCWSTR filterName, CComPtr<IBaseFilter>& result);
  // Tries an existing filter (taken from the cache or already in the
  // graph) downstream of `out`; undoes the connection when it fails.
  HRESULT TryExistingFilter(IPin* out, IBaseFilter* filter, IPin* in, bool& deadEnd);
  // Takes a source out of the graph with everything it feeds and every
  // filter feeding it.
  void RemoveSourceChain(IBaseFilter* source);
  void RecordDeadEnd(IPin* out);
  // Names the format of a file that only the plain reader took, when the
  // program knows it.
  void NoteUnreadFormat(LPCWSTR fileName) const;
  void PruneDeadEnds();

  CComPtr<IUnknown> m_pUnkInner;
  CComPtr<IFilterMapper2> m_pFM;
  DWORD m_dwRegister = 0;
  std::vector<PathStep> m_streamPath;
  std::vector<std::unique_ptr<DeadEnd>> m_deadEnds;
  std::vector<CComPtr<IUnknown>> m_pUnks;
  std::vector<std::unique_ptr<CFGFilter>> m_source, m_transform, m_override;
  struct UnreadFormat {
    std::vector<std::wstring> patterns;
    std::string text;
  };
  std::vector<UnreadFormat> m_unread;
};
