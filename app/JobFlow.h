// The job creation flow: the conversion-type page, then the source page of
// a job (or the batch list of a batch), then the target page of the chosen
// type, with Back, Next/Finish and Cancel moving between them. Records
// belong to the flow until it hands the finished ones to the caller.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "conversion/ConvertOpt.h"
#include "platform/ui/Wnd.h"

// Page results the flow reads after a page closes.
enum PageResult { kPageBack = 0, kPageNext = 1, kPageFinish = 2, kPageCancel = 3 };

class CJobFlow {
 public:
  explicit CJobFlow(CWnd* owner) : m_pOwner(owner) {}

  // One job; null when the user cancelled.
  std::unique_ptr<CConvertOpt> AddJob();
  // A batch, in list order; empty when the user cancelled.
  std::vector<std::unique_ptr<CConvertOpt>> AddBatch();

  // Source page then target page of one job: back (to the type page),
  // finish or cancel.
  int RunJobPages(CConvertOpt* job);
  // Batch list then the target page of the batch's settings record. `jobs`
  // holds the batch's records between visits, whatever the pages answer.
  int RunBatchPages(CConvertOpt* batch, std::vector<std::unique_ptr<CConvertOpt>>& jobs);

 private:
  CWnd* m_pOwner;
};

// The end of a finished batch: every job takes the batch's settings, PSP
// jobs their numbered names, and FLV/SWF and 3GP/3G2 jobs the extension
// their container asks for.
void FinishBatchJobs(CConvertOpt& batch, std::vector<std::unique_ptr<CConvertOpt>>& jobs);

// The "Source File" column of a job's row: the source, or the pictures.
std::string JobSourceText(const CConvertOpt& job);
// The "Conversion Type" column of a job's row.
std::string JobTypeText(const CConvertOpt& job);
