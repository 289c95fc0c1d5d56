// How the pictures of a series are named: "img_<number>.jpg", counted
// from 1. The writer names its files by this rule, the job's file checks
// and the picture page find them by it.
#pragma once

#include <string>

// The name of picture `number` of a series: "img_<number>.jpg".
std::string PictureName(long number);
// The number of a series picture's name (img_1.jpg is 1), or -1 for any
// other name.
long PictureNumber(const char* name);
