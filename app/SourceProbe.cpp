#include "app/SourceProbe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/PathName.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/Resource.h"
#include "resources/ResourceIds.h"

namespace {

template <class... Args>
std::string Format(const char* format, Args... args) {
  char buffer[512];
  const int n = std::snprintf(buffer, sizeof buffer, format, args...);
  return n <= 0 ? std::string() : std::string(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

}  // namespace

bool ProbeSourceFile(CWnd* owner, const std::string& path, SourceMediaInfo* info) {
  HRESULT hr = E_FAIL;
  {
    CComPtr<IGraphBuilder> graph;
    auto* converter = new CGraphConverter(owner ? owner->GetSafeHwnd() : nullptr);
    // The graph holds the converter's only reference from here.
    converter->NonDelegatingQueryInterface(IID_PPV_ARGS(&graph));
    if (graph) hr = converter->ProbeSource(path, info);
  }
  if (FAILED(hr)) {
    AfxMessageBox(UiLoadString(IDS_PROBE_FAILED), MB_OK | MB_ICONSTOP);
    return false;
  }
  return true;
}

std::string SourceInfoText(const SourceMediaInfo& info) {
  std::string text = "Video Format:-> " + info.videoDescription + "\n";
  if (info.hasVideo) {
    text += info.duration > 0 ? Format("Duration :->%.2f;\n", static_cast<double>(info.duration))
                              : std::string("Duration :->Unknown;\n");
    text += Format("Frame Rate:->%4.2f fps\n", static_cast<double>(info.frameRate));
  }
  text += "Audio Format:->" + info.audioDescription + ";\n";
  if (info.hasAudio) {
    text += Format("Audio Freq:->%d Hz;\n", info.sampleRate);
    text += Format("Audio Channels :->%d;\n", info.channels);
  }
  text += Format("Dimension:->%d*%d;\n", info.width, info.height);
  return text;
}

double CutToHundredths(double rate) {
  if (!std::isfinite(rate)) return 0.0;
  return std::trunc(rate * 100.0) / 100.0;
}

std::string FormatExtension(const std::string& path) {
  return PathExtensionPoint(path) == std::string::npos ? path : PathExtension(path);
}
