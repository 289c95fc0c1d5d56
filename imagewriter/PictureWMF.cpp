#include "imagewriter/PictureWMF.h"

bool CPictureWMF::Write(CPictureFile* file) {
  if (!file) return false;
  SetLastError("Save WMF not supported");
  return false;
}
