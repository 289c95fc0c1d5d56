#include "app/DlgLog.h"

#include "app/DlgNotice.h"
#include "app/TambrelApp.h"

namespace {

// Posted to itself, so the codec help opens once the log is on screen.
constexpr UINT WM_OFFER_CODEC_HELP = WM_APP + 1;

}  // namespace

BEGIN_MESSAGE_MAP(CDlgLog, CDialog)
ON_BN_CLICKED(1007, OnCodecHelp)
ON_MESSAGE(WM_OFFER_CODEC_HELP, OnOfferCodecHelp)
END_MESSAGE_MAP()

bool CDlgLog::NamesMissingCodecs(const std::string& log) {
  // The converter names a stream no decoder took this way.
  return log.find(") could not be decoded") != std::string::npos;
}

BOOL CDlgLog::OnInitDialog() {
  const BOOL result = CDialog::OnInitDialog();
  // The codec help offers "do not show this again": it opens by itself for
  // a log of missing decoders until the user says so; its button opens it
  // at any time.
  if (NamesMissingCodecs(m_strLog) && !g_dwShowOnce) PostMessage(WM_OFFER_CODEC_HELP);
  return result;
}

void CDlgLog::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Text(dx, 1086, m_strLog);
}

void CDlgLog::OnCodecHelp() {
  CDlgCodecInfo info(this);
  info.DoModal();
}

LRESULT CDlgLog::OnOfferCodecHelp(WPARAM, LPARAM) {
  if (!g_dwShowOnce) OnCodecHelp();
  return 0;
}
