// libjpeg's headers made to live beside the platform types: the library
// would typedef INT16 and INT32 itself, clashing with ours; XMD_H is its
// switch for leaving them to the environment (not used by its interface).
#pragma once

#include <cstddef>
#include <cstdio>

#include "platform/win32/Types.h"

#ifndef XMD_H
#define XMD_H
#endif
#include <jpeglib.h>
#include <jerror.h>
