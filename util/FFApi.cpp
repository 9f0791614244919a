#include "util/FFApi.h"

TFFFunctions FF;
