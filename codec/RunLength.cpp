#include "codec/RunLength.h"
