#pragma once
#include "codec/RunLength.h"
