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

const char* const kMovieExtensions = "*.avi;|*.mpg;*.mpeg|*.wmv;*.asf|*.rm;*.rmvb|*.mov;*.mp4|*.3gp|*.mkv;*.ogg|*.flv";
// "All Supported" lists every kind of movie the sources read (a job takes
// no sound-only file); "All files" comes last.
const char* const kMovieFilter =
    "All Supported(*.avi,*.mpg,*.rm,*.mov,*.mp4,*.3gp,*.flv etc)|*.mpg;*.mpeg;*.vob;*.ts;*.m2ts;*.mts;*.pva;*.d2v;"
    "*.ifo;*.dat;*.avi;*.wmv;*.asf;*.rm;*.rmvb;*.ogg;*.ogm;*.mov;*.mp4;*.m4v;*.3gp;*.3g2;*.mkv;*.flv;*.dsm;*.roq;"
    "*.fli;*.flc|AVI Files (*.avi)|*.avi|Mpeg Files (*.mpg;*.mpeg)|*.mpg;*.mpeg|Windows "
    "Media(*.wmv;*.asf)|*.wmv;*.asf|Realmedia(*.rm)|*.rm;*.rmvb|Quick Time/MPEG4 Movie(*.mov,*.mp4)|*.mov;*.mp4|3gp "
    "Mobile Movie(*.3gp)|*.3gp|Matroska Video(*.mkv)|*.mkv|Ogg File(*.ogg)|*.ogg|Flash Movie(*.flv)|*.flv|All files (*.*)|*||";
const char* const kMpegExtensions = "*.mpg;*.mpeg";
const char* const kMpegFilter = "Mpeg Files (*.mpg;*.mpeg)|*.mpg;*.mpeg||";

HRESULT ProbeSourceQuietly(CWnd* owner, const std::string& path, SourceMediaInfo* info) {
  HRESULT hr = E_FAIL;
  // Only this probe's reason may follow the message.
  g_strConvertError.clear();
  {
    CComPtr<IGraphBuilder> graph;
    auto* converter = new CGraphConverter(owner ? owner->GetSafeHwnd() : nullptr);
    // The graph holds the converter's only reference from here.
    converter->NonDelegatingQueryInterface(IID_PPV_ARGS(&graph));
    if (graph) hr = converter->ProbeSource(path, info);
  }
  return hr;
}

void ShowProbeFailure(const std::string& path) {
  // The converter's own reason, when it has one, is what the user reads
  // first: the general text (a damaged file, a decoder to install) would
  // say what is not so of a file the user may not read or of a format the
  // program knows. Without one the general text stands.
  std::string reason = g_strConvertError;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
  std::string text = reason.empty() ? UiLoadString(IDS_PROBE_FAILED) : reason;
  if (!path.empty() && text.find(path) == std::string::npos) text += "\n" + path;
  AfxMessageBox(text.c_str(), MB_OK | MB_ICONSTOP);
}

bool ProbeSourceFile(CWnd* owner, const std::string& path, SourceMediaInfo* info) {
  if (FAILED(ProbeSourceQuietly(owner, path, info))) {
    ShowProbeFailure();
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

void ApplySourceProbe(const std::string& path, const SourceMediaInfo& info, CConvertOpt* job) {
  job->m_nSourceFormat = info.format;
  job->m_strSourceDescription = CGraphConverter::GetSourceFormatDescription(info.format, FormatExtension(path));
  job->m_strSourceInfo = SourceInfoText(info);
  job->m_fDuration = info.duration;
  job->m_nSourceWidth = info.width;
  job->m_nSourceHeight = info.height;
  if (info.hasVideo) {
    job->m_dSourceFrameRate = info.frameRate;
    job->m_dFrameRate = CutToHundredths(info.frameRate);
  }
}

double CutToHundredths(double rate) {
  if (!std::isfinite(rate)) return 0.0;
  return std::trunc(rate * 100.0) / 100.0;
}

std::string FormatExtension(const std::string& path) {
  return PathExtensionPoint(path) == std::string::npos ? path : PathExtension(path);
}
