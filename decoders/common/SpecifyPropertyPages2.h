// Property pages of the decoders: the platform's page list plus the
// creation of a page by its class id, so that a host can show a decoder's
// own settings window without a class registration.
#pragma once

#include "platform/com/PropertyPage.h"

struct ISpecifyPropertyPages2 : ISpecifyPropertyPages {
  virtual HRESULT STDMETHODCALLTYPE CreatePage(const GUID& guid, IPropertyPage** page) = 0;

 protected:
  ~ISpecifyPropertyPages2() = default;
};
PELLOMAR_INTERFACE_ID(ISpecifyPropertyPages2, "03481710-D73E-4674-839F-03EDE2D60ED8");
